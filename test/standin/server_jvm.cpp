// Stand-in for a Java server's runtime, in the runtime's server\jvm.dll: the server's life
// (StandinServe, called by the jli.dll of server_jli.cpp) and the part of the invocation
// interface that ends it, as a real runtime's JNI_GetCreatedJavaVMs, AttachCurrentThread,
// FindClass, GetStaticMethodID and CallStaticVoidMethod on java.lang.System.exit do.
//
// Its JVM options choose what the server does (a service cannot be handed variables):
//   -Dstandin.stop=hook     System.exit prints "shutdown hook ran" and ends the process with
//                           the status through the C runtime's exit(), as a real runtime
//                           does (the default)
//   -Dstandin.stop=ignore   System.exit blocks for good, as a hanging shutdown hook does
//   -Dstandin.hook-ms=N     the shutdown hook takes N milliseconds before it has run
//   -Dstandin.start-ms=N    the JVM takes N milliseconds to be created
//   -Dstandin.crash-event=N the server ends the process on its own with exit code 3 once the
//                           named event is set, as System.exit(3) would
//   -Dstandin.fail=N        the server ends at once with exit code N, after its first line
//   -Dstandin.print=N       N bytes of "x" lines on standard output after the first line
//   -Dstandin.cwd=1         "cwd: <current directory>" on standard output after the first line
//   -Dstandin.exit-at-start=N  the JVM is never created: the runtime writes its reason on
//                           standard error and ends the process through exit() with N, as a
//                           real runtime does with options it refuses
// The first lines are "server started" on standard output and "server notice" on standard
// error; the JVM counts as created from just before them.

#include <windows.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

typedef long jint;

HANDLE exitRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
volatile LONG created = 0;
bool ignoreStop = false;
DWORD hookMillis = 0;

void writeTo(DWORD which, const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string option(int argc, char** argv, const std::string& name) {
    const std::string prefix = "-D" + name + "=";
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
            return argv[i] + prefix.size();
        }
    }
    return std::string();
}

// Ends the process as a real runtime does: through exit() of the universal C runtime it is
// built with, which runs what was registered in that runtime's table first.
HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");

[[noreturn]] void endProcess(jint status) {
    typedef void(__cdecl * ExitFn)(int);
    const ExitFn crtExit =
        ucrt ? reinterpret_cast<ExitFn>(reinterpret_cast<void*>(GetProcAddress(ucrt, "exit")))
             : nullptr;
    if (crtExit) {
        crtExit(static_cast<int>(status));
    }
    ExitProcess(static_cast<UINT>(status));
}

// The tables: a JavaVM and a JNIEnv are pointers to arrays of function pointers.
void* invokeTable[8];
void* nativeTable[235];
void** theVm = invokeTable;
void** theEnv = nativeTable;
char systemClass;
char exitMethod;

jint __stdcall attach(void*, void*** env, void*) {
    *env = reinterpret_cast<void**>(&theEnv);
    return 0;
}
jint __stdcall detach(void*) {
    return 0;
}
void* __stdcall findClass(void*, const char* name) {
    return std::strcmp(name, "java/lang/System") == 0 ? &systemClass : nullptr;
}
void* __stdcall getStaticMethodID(void*, void* cls, const char* name, const char* sig) {
    return cls == &systemClass && std::strcmp(name, "exit") == 0 && std::strcmp(sig, "(I)V") == 0
               ? &exitMethod
               : nullptr;
}
void __cdecl callStaticVoidMethod(void*, void*, void* method, ...) {
    if (method != &exitMethod) {
        return;
    }
    va_list args;
    va_start(args, method);
    const jint status = va_arg(args, jint);
    va_end(args);
    if (ignoreStop) {
        writeTo(STD_OUTPUT_HANDLE, "shutdown hook hangs\n");
        Sleep(INFINITE);
    }
    Sleep(hookMillis);
    writeTo(STD_OUTPUT_HANDLE, "shutdown hook ran\n");
    endProcess(status);
}
unsigned char __stdcall exceptionCheck(void*) {
    return 0;
}
void __stdcall exceptionClear(void*) {}

void fillTables() {
    invokeTable[4] = reinterpret_cast<void*>(&attach);
    invokeTable[5] = reinterpret_cast<void*>(&detach);
    nativeTable[6] = reinterpret_cast<void*>(&findClass);
    nativeTable[17] = reinterpret_cast<void*>(&exceptionClear);
    nativeTable[113] = reinterpret_cast<void*>(&getStaticMethodID);
    nativeTable[141] = reinterpret_cast<void*>(&callStaticVoidMethod);
    nativeTable[228] = reinterpret_cast<void*>(&exceptionCheck);
}

void printBytes(unsigned long count) {
    const std::string line(63, 'x');
    for (unsigned long done = 0; done < count; done += 64) {
        writeTo(STD_OUTPUT_HANDLE, line + "\n");
    }
}

} // namespace

extern "C" __declspec(dllexport) jint
    __stdcall JNI_GetCreatedJavaVMs(void**** vms, jint size, jint* count) {
    *count = created ? 1 : 0;
    if (created && size > 0) {
        vms[0] = reinterpret_cast<void***>(&theVm);
    }
    return 0;
}

extern "C" __declspec(dllexport) int StandinServe(int argc, char** argv) {
    fillTables();
    ignoreStop = option(argc, argv, "standin.stop") == "ignore";
    const std::string exitAtStart = option(argc, argv, "standin.exit-at-start");
    if (!exitAtStart.empty()) {
        writeTo(STD_ERROR_HANDLE, "Invalid maximum heap size: -Xmx4x\n"
                                  "Error: Could not create the Java Virtual Machine.\n");
        endProcess(std::atoi(exitAtStart.c_str()));
    }
    hookMillis = std::strtoul(option(argc, argv, "standin.hook-ms").c_str(), nullptr, 10);
    const std::string fail = option(argc, argv, "standin.fail");
    Sleep(std::strtoul(option(argc, argv, "standin.start-ms").c_str(), nullptr, 10));
    if (fail.empty()) {
        // Created before it says so: whoever reads the first line may end it.
        InterlockedExchange(&created, 1);
    }
    writeTo(STD_OUTPUT_HANDLE, "server started\n");
    writeTo(STD_ERROR_HANDLE, "server notice\n");
    if (option(argc, argv, "standin.cwd") == "1") {
        char cwd[MAX_PATH * 4];
        const DWORD n = GetCurrentDirectoryA(MAX_PATH * 4, cwd);
        writeTo(STD_OUTPUT_HANDLE, "cwd: " + std::string(cwd, n) + "\n");
    }
    if (!fail.empty()) {
        return std::atoi(fail.c_str());
    }
    printBytes(std::strtoul(option(argc, argv, "standin.print").c_str(), nullptr, 10));
    const std::string crashEvent = option(argc, argv, "standin.crash-event");
    HANDLE crash =
        crashEvent.empty() ? nullptr : CreateEventA(nullptr, TRUE, FALSE, crashEvent.c_str());
    const HANDLE events[] = {exitRequested, crash};
    WaitForMultipleObjects(crash ? 2 : 1, events, FALSE, INFINITE);
    writeTo(STD_ERROR_HANDLE, "server crashed\n");
    endProcess(3);
}
