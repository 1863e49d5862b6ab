#ifndef CORVELA_UNIQUEHANDLE_H
#define CORVELA_UNIQUEHANDLE_H

#include <windows.h>

// Owns one kernel handle; closes it when non-null and its owner goes away.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept : h(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return h; }
    explicit operator bool() const { return h != nullptr; }

    HANDLE release() {
        HANDLE old = h;
        h = nullptr;
        return old;
    }

    void reset(HANDLE newHandle = nullptr) {
        if (h && h != newHandle) {
            CloseHandle(h);
        }
        h = newHandle;
    }

private:
    HANDLE h = nullptr;
};

#endif
