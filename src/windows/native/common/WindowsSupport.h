// Windows support: how every Win32 and C runtime resource is owned and every failed call raised.
#ifndef CORVELA_WINDOWSSUPPORT_H
#define CORVELA_WINDOWSSUPPORT_H

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "ErrorHandling.h"
#include "tstrings.h"

// The Windows half, and neutral code that owns such resources, include this header; the
// neutral headers never do, so that the neutral interfaces stay free of <windows.h>.

// Owns one resource of type T and gives it to `close` when it is not null and its owner
// goes away or takes another. Moves, never copies. Closing keeps the thread's last error:
// an owner that goes away between a failed call and the raise must not change the code.
template <class T, auto close> class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    T get() const { return value; }
    T operator->() const { return value; }
    explicit operator bool() const { return value != T(); }

    T release() {
        const T old = value;
        value = T();
        return old;
    }

    void reset(T newValue = T()) {
        if (value != T() && value != newValue) {
            const DWORD lastError = GetLastError();
            close(value);
            SetLastError(lastError);
        }
        value = newValue;
    }

private:
    T value = T();
};

namespace WindowsSupport {
inline void closeFile(FILE* file) {
    fclose(file);
}
inline void freeMemory(void* memory) {
    free(memory);
}
} // namespace WindowsSupport

typedef UniqueResource<HANDLE, &CloseHandle> UniqueHandle;
typedef UniqueResource<HMODULE, &FreeLibrary> UniqueModule;
typedef UniqueResource<HWND, &DestroyWindow> UniqueWindow;
template <class T> using UniqueLocalMemory = UniqueResource<T*, &LocalFree>;
typedef UniqueResource<FILE*, &WindowsSupport::closeFile> UniqueFile;
template <class T> using UniqueMallocMemory = UniqueResource<T*, &WindowsSupport::freeMemory>;

// Raises the system error of a failed call: `function` is the system function's address,
// `message` what is written into a builder ("X(args) failed"), `code` the error. The code
// is read into a local before the message is built, since building it may make calls of
// its own.
#define THROW_SYSTEM_ERROR_CODE(code, function, message)                                           \
    do {                                                                                           \
        const unsigned long cvSystemErrorCode = (code);                                            \
        THROW_ERROR(SysError(::tstrings::Builder() << message,                                     \
                             reinterpret_cast<const void*>(function), cvSystemErrorCode));         \
    } while (0)

// The same with the thread's last error, taken first.
#define THROW_LAST_ERROR(function, message)                                                        \
    THROW_SYSTEM_ERROR_CODE(::GetLastError(), function, message)

#endif
