// Windows support: how every Win32 resource is owned and every failed call raised.
#ifndef CORVELA_WINDOWSSUPPORT_H
#define CORVELA_WINDOWSSUPPORT_H

#include <windows.h>

#include "ErrorHandling.h"
#include "UniqueResource.h"
#include "tstrings.h"

// The Windows kinds keep the thread's last error across the release: an owner that goes away
// between a failed call and the raise must not change the code.
template <class Traits> struct KeepingLastError : Traits {
    static void close(typename Traits::Type value) {
        const DWORD lastError = GetLastError();
        Traits::close(value);
        SetLastError(lastError);
    }
};

// File handles (CreateFileW, CreateNamedPipeW...) mean none by INVALID_HANDLE_VALUE, not null.
template <auto release> struct InvalidHandleMeansNone {
    typedef HANDLE Type;
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE value) { release(value); }
};

template <class T, auto release>
using WindowsResource = UniqueResource<KeepingLastError<NullMeansNone<T, release>>>;

typedef WindowsResource<HANDLE, &CloseHandle> UniqueHandle;
typedef UniqueResource<KeepingLastError<InvalidHandleMeansNone<&CloseHandle>>> UniqueFileHandle;
typedef WindowsResource<HMODULE, &FreeLibrary> UniqueModule;
typedef WindowsResource<HWND, &DestroyWindow> UniqueWindow;
template <class T> using UniqueLocalMemory = WindowsResource<T*, &LocalFree>;

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
