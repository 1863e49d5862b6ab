// The invocation interface of the loaded jvm.dll (JvmControl.h): only what ending a JVM takes.
#include <windows.h>

#include "ErrorHandling.h"
#include "JvmControl.h"
#include "Log.h"
#include "tstrings.h"

namespace {

// The slots of the Java runtime's jni.h that this file calls: its tables are arrays of
// function pointers, the same in every runtime since 1.2.
typedef long jint;
typedef void* jclass;
typedef void* jmethodID;
typedef void* const* JavaVM;
typedef void* const* JNIEnv;

namespace slot {
const size_t DetachCurrentThread = 5;
const size_t AttachCurrentThread = 4;
const size_t FindClass = 6;
const size_t ExceptionClear = 17;
const size_t GetStaticMethodID = 113;
const size_t CallStaticVoidMethod = 141;
const size_t ExceptionCheck = 228;
} // namespace slot

typedef jint(__stdcall* GetCreatedJavaVMsFn)(JavaVM**, jint, jint*);
typedef jint(__stdcall* AttachFn)(JavaVM*, JNIEnv**, void*);
typedef jint(__stdcall* DetachFn)(JavaVM*);
typedef jclass(__stdcall* FindClassFn)(JNIEnv*, const char*);
typedef jmethodID(__stdcall* GetStaticMethodIDFn)(JNIEnv*, jclass, const char*, const char*);
typedef void(__stdcall* CallStaticVoidMethodFn)(JNIEnv*, jclass, jmethodID, ...);
typedef unsigned char(__stdcall* ExceptionCheckFn)(JNIEnv*);
typedef void(__stdcall* ExceptionClearFn)(JNIEnv*);

template <class Fn> Fn tableEntry(void* const* table, size_t index) {
    return reinterpret_cast<Fn>(table[index]);
}

// The runtime's server\jvm.dll beside its loaded jli.dll. A real jli.dll loads it itself (a
// loaded module is found by its file name alone); one that runs the JVM some other way
// leaves it to its caller. Loaded once and kept: the JVM it holds lives as long.
HMODULE serverJvmLib() {
    const HMODULE loaded = GetModuleHandleW(L"jvm.dll");
    const HMODULE jli = GetModuleHandleW(L"jli.dll");
    if (loaded || !jli) {
        return loaded;
    }
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(jli, path, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) {
        return nullptr;
    }
    tstring jvmPath(path, n);
    jvmPath.resize(jvmPath.find_last_of(L'\\') + 1);
    jvmPath += L"server\\jvm.dll";
    return LoadLibraryExW(jvmPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The JVM of the runtime in this process, or null.
JavaVM* createdVm() {
    const HMODULE jvmLib = serverJvmLib();
    if (!jvmLib) {
        return nullptr;
    }
    const GetCreatedJavaVMsFn getCreated = reinterpret_cast<GetCreatedJavaVMsFn>(
        reinterpret_cast<void*>(GetProcAddress(jvmLib, "JNI_GetCreatedJavaVMs")));
    JavaVM* vm = nullptr;
    jint count = 0;
    if (!getCreated || getCreated(&vm, 1, &count) != 0 || count < 1) {
        return nullptr;
    }
    return vm;
}

void callSystemExit(JNIEnv* env, int status) {
    const jclass system = tableEntry<FindClassFn>(*env, slot::FindClass)(env, "java/lang/System");
    const jmethodID exitMethod =
        system ? tableEntry<GetStaticMethodIDFn>(*env, slot::GetStaticMethodID)(env, system, "exit",
                                                                                "(I)V")
               : nullptr;
    if (!exitMethod) {
        tableEntry<ExceptionClearFn>(*env, slot::ExceptionClear)(env);
        THROW_ERROR(LauncherError("The JVM has no java.lang.System.exit(int)"));
    }
    tableEntry<CallStaticVoidMethodFn>(*env, slot::CallStaticVoidMethod)(env, system, exitMethod,
                                                                         static_cast<jint>(status));
    if (tableEntry<ExceptionCheckFn>(*env, slot::ExceptionCheck)(env)) {
        tableEntry<ExceptionClearFn>(*env, slot::ExceptionClear)(env);
        THROW_ERROR(LauncherError("java.lang.System.exit raised an exception"));
    }
}

} // namespace

namespace JvmControl {

bool created() {
    return createdVm() != nullptr;
}

bool requestExit(int status) {
    JavaVM* const vm = createdVm();
    if (!vm) {
        return false;
    }
    JNIEnv* env = nullptr;
    if (tableEntry<AttachFn>(*vm, slot::AttachCurrentThread)(vm, &env, nullptr) != 0 || !env) {
        THROW_ERROR(
            LauncherError("The JVM refused to attach a thread to end the application"));
    }
    LOG_TRACE(L"Calling java.lang.System.exit(" << status << L")");
    try {
        callSystemExit(env, status);
    } catch (...) {
        tableEntry<DetachFn>(*vm, slot::DetachCurrentThread)(vm);
        throw;
    }
    tableEntry<DetachFn>(*vm, slot::DetachCurrentThread)(vm);
    return true;
}

} // namespace JvmControl
