// The bridge runtime's bin\server\jvm.dll: the part of the invocation interface a native
// caller needs to end the application as System.exit(status) would. JNI_GetCreatedJavaVMs
// finds the host program that the bridge's jli.dll runs; on the one environment it hands
// out, FindClass("java/lang/System"), GetStaticMethodID("exit", "(I)V") and
// CallStaticVoidMethod end that program with SIGTERM, which runs its shutdown hooks, and
// the launch ends with the status given. The tables have the slots of the Java runtime's
// jni.h, so a caller built against it works unchanged; any other function reports itself
// and ends the process, since going on with a made-up result would hide the failure.

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "BridgeExports.h"
#include "Report.h"

namespace {

using bridge::report;

typedef long jint;
typedef jint jsize;
typedef unsigned char jboolean;
typedef void* jobject;
typedef jobject jclass;
typedef jobject jthrowable;
typedef void* jmethodID;
typedef union {
    jint i;
    long long j;
    double d;
    void* l;
} jvalue;

const jint jniOk = 0;
const jint jniErr = -1;
const jint jniDetached = -2;
const jint jniVersion10 = 0x000a0000;

// The slots this library fills in JNINativeInterface_ and JNIInvokeInterface_.
namespace slot {
enum : size_t {
    GetVersion = 4,
    FindClass = 6,
    ExceptionOccurred = 15,
    ExceptionDescribe = 16,
    ExceptionClear = 17,
    DeleteLocalRef = 23,
    GetStaticMethodID = 113,
    CallStaticVoidMethod = 141,
    CallStaticVoidMethodV = 142,
    CallStaticVoidMethodA = 143,
    ExceptionCheck = 228,
    // GetModule is the last of Java 17; 19 adds IsVirtualThread.
    nativeCount = 235,

    DestroyJavaVM = 3,
    AttachCurrentThread = 4,
    DetachCurrentThread = 5,
    GetEnv = 6,
    AttachCurrentThreadAsDaemon = 7,
    invokeCount = 8,
};
} // namespace slot

typedef void* const* JNIEnv;
typedef void* const* JavaVM;

template <size_t N> void __stdcall unsupported() {
    report("JNI function " + std::to_string(N) +
           " is not available: the bridge's invocation interface only ends the program "
           "through java.lang.System.exit");
    ExitProcess(1);
}

// The only class and method there are, and the one exception a caller may see.
char systemClass;
char exitMethod;
char missingError;
bool pending = false;
thread_local bool attached = false;

template <class T> T fromJli(const char* name) {
    HMODULE jli = GetModuleHandleW(L"jli.dll");
    return jli ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(jli, name))) : nullptr;
}

bool hostRunning() {
    const BridgeRunningFn running = fromJli<BridgeRunningFn>(BRIDGE_RUNNING_NAME);
    return running && running() != 0;
}

void systemExit(jint status) {
    const BridgeExitFn exitProgram = fromJli<BridgeExitFn>(BRIDGE_EXIT_NAME);
    const int ended = exitProgram ? exitProgram(static_cast<int>(status)) : 0;
    if (ended == 0) {
        report("System.exit: no Java program is running");
    } else if (ended < 0) {
        report("System.exit: the program had not ended " +
               std::to_string(BRIDGE_EXIT_LIMIT_MS / 1000) +
               " seconds after SIGTERM (a shutdown hook that never returns?); it runs on");
    }
}

jint __stdcall getVersion(JNIEnv*) {
    return jniVersion10;
}

jclass __stdcall findClass(JNIEnv*, const char* name) {
    if (name && strcmp(name, "java/lang/System") == 0) {
        return &systemClass;
    }
    pending = true;
    return nullptr;
}

jthrowable __stdcall exceptionOccurred(JNIEnv*) {
    return pending ? &missingError : nullptr;
}

void __stdcall exceptionDescribe(JNIEnv*) {
    if (pending) {
        report("only java.lang.System.exit(int) is available on the bridge");
        pending = false;
    }
}

void __stdcall exceptionClear(JNIEnv*) {
    pending = false;
}

jboolean __stdcall exceptionCheck(JNIEnv*) {
    return pending ? 1 : 0;
}

void __stdcall deleteLocalRef(JNIEnv*, jobject) {}

jmethodID __stdcall getStaticMethodID(JNIEnv*, jclass cls, const char* name, const char* sig) {
    if (cls == &systemClass && name && sig && strcmp(name, "exit") == 0 &&
        strcmp(sig, "(I)V") == 0) {
        return &exitMethod;
    }
    pending = true;
    return nullptr;
}

void callStatic(jmethodID method, jint status) {
    if (method == &exitMethod) {
        systemExit(status);
    } else {
        pending = true;
    }
}

void __cdecl callStaticVoidMethod(JNIEnv*, jclass, jmethodID method, ...) {
    va_list args;
    va_start(args, method);
    const jint status = method == &exitMethod ? va_arg(args, jint) : 0;
    va_end(args);
    callStatic(method, status);
}

void __stdcall callStaticVoidMethodV(JNIEnv*, jclass, jmethodID method, va_list args) {
    callStatic(method, method == &exitMethod ? va_arg(args, jint) : 0);
}

void __stdcall callStaticVoidMethodA(JNIEnv*, jclass, jmethodID method, const jvalue* args) {
    callStatic(method, method == &exitMethod && args ? args[0].i : 0);
}

template <size_t... N> void fillUnsupported(void** slots, std::index_sequence<N...>) {
    ((slots[N] = reinterpret_cast<void*>(&unsupported<N>)), ...);
}

struct NativeTable {
    NativeTable() {
        fillUnsupported(slots, std::make_index_sequence<slot::nativeCount>());
        for (size_t i = 0; i < 4; ++i) {
            slots[i] = nullptr;
        }
        set(slot::GetVersion, &getVersion);
        set(slot::FindClass, &findClass);
        set(slot::ExceptionOccurred, &exceptionOccurred);
        set(slot::ExceptionDescribe, &exceptionDescribe);
        set(slot::ExceptionClear, &exceptionClear);
        set(slot::DeleteLocalRef, &deleteLocalRef);
        set(slot::GetStaticMethodID, &getStaticMethodID);
        set(slot::CallStaticVoidMethod, &callStaticVoidMethod);
        set(slot::CallStaticVoidMethodV, &callStaticVoidMethodV);
        set(slot::CallStaticVoidMethodA, &callStaticVoidMethodA);
        set(slot::ExceptionCheck, &exceptionCheck);
    }
    template <class F> void set(size_t index, F function) {
        slots[index] = reinterpret_cast<void*>(function);
    }
    void* slots[slot::nativeCount];
};

const NativeTable nativeTable;
void* const* const nativeInterface = nativeTable.slots;
JNIEnv* const environment = const_cast<JNIEnv*>(&nativeInterface);

jint __stdcall destroyJavaVM(JavaVM*) {
    return jniErr;
}

jint __stdcall attachCurrentThread(JavaVM*, void** penv, void*) {
    if (!penv || !hostRunning()) {
        return jniErr;
    }
    attached = true;
    *penv = environment;
    return jniOk;
}

jint __stdcall detachCurrentThread(JavaVM*) {
    attached = false;
    return jniOk;
}

jint __stdcall getEnv(JavaVM*, void** penv, jint) {
    if (!penv) {
        return jniErr;
    }
    *penv = attached ? environment : nullptr;
    return attached ? jniOk : jniDetached;
}

void* const invokeInterface[slot::invokeCount] = {
    nullptr,
    nullptr,
    nullptr,
    reinterpret_cast<void*>(&destroyJavaVM),
    reinterpret_cast<void*>(&attachCurrentThread),
    reinterpret_cast<void*>(&detachCurrentThread),
    reinterpret_cast<void*>(&getEnv),
    reinterpret_cast<void*>(&attachCurrentThread),
};
void* const* const theVm = invokeInterface;

} // namespace

extern "C" __declspec(dllexport) jint
    __stdcall JNI_GetCreatedJavaVMs(JavaVM** vms, jsize size, jsize* count) {
    const bool running = hostRunning();
    if (running && vms && size > 0) {
        vms[0] = const_cast<JavaVM*>(&theVm);
    }
    if (count) {
        *count = running ? 1 : 0;
    }
    return jniOk;
}
