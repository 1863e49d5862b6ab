// Owners of resources: each value goes back to its release function on every way out.
#ifndef CORVELA_UNIQUERESOURCE_H
#define CORVELA_UNIQUERESOURCE_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>

// What an owner knows of one kind of resource: the value that means "none", and how a value
// is given back. Most kinds mean none by null; a kind whose none is another value (a file
// handle's INVALID_HANDLE_VALUE) has traits of its own, or its none would be closed and a
// failed open taken for an open resource.
template <class T, auto release> struct NullMeansNone {
    typedef T Type;
    static T none() { return T(); }
    static void close(T value) { release(value); }
};

// The C runtime's kinds keep errno across the release: an owner that goes away between a
// failed call and the report of its reason must not change the reason.
template <class T, auto release> struct CrtNullMeansNone : NullMeansNone<T, release> {
    static void close(T value) {
        const int savedErrno = errno;
        release(value);
        errno = savedErrno;
    }
};

// Owns one resource and hands it to `Traits::close` when it is not none and its owner goes
// away or takes another. Moves, never copies.
template <class Traits> class UniqueResource {
public:
    typedef typename Traits::Type Value;

    UniqueResource() = default;
    explicit UniqueResource(Value value) : value(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    Value get() const { return value; }
    Value operator->() const { return value; }
    explicit operator bool() const { return value != Traits::none(); }

    Value release() {
        const Value old = value;
        value = Traits::none();
        return old;
    }

    void reset(Value newValue = Traits::none()) {
        if (value != Traits::none() && value != newValue) {
            Traits::close(value);
        }
        value = newValue;
    }

private:
    Value value = Traits::none();
};

namespace UniqueResourceSupport {
inline void closeFile(FILE* file) {
    fclose(file);
}
inline void freeMemory(void* memory) {
    free(memory);
}
} // namespace UniqueResourceSupport

typedef UniqueResource<CrtNullMeansNone<FILE*, &UniqueResourceSupport::closeFile>> UniqueFile;
template <class T>
using UniqueMallocMemory = UniqueResource<CrtNullMeansNone<T*, &UniqueResourceSupport::freeMemory>>;

#endif
