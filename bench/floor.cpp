// The floor a launcher of this design cannot go below, as a yardstick for Corvela's starts.
// It carries the launcher's manifest, which the design requires (floor.rc).
//   floor.exe                  loads user32, as every such launcher must (the foreground
//                              grant), then the runtime's launcher library beside it, and
//                              calls JLI_Launch; it splits its command line itself, as the
//                              launchers do, which takes no library;
//   floor.exe --restart        starts itself once in a kill-on-close job and waits for it;
//   floor.exe --restart-window the same with the window and message loop the design's
//                              parent runs while a worker thread waits for the child.

#include <windows.h>

#include <string>

#include "floor_launch.h"

namespace {

std::wstring selfPath() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

struct Child {
    HANDLE process = nullptr;
    HWND window = nullptr;
    DWORD exitCode = 1;
};

DWORD WINAPI waitForChild(LPVOID param) {
    Child* child = static_cast<Child*>(param);
    WaitForSingleObject(child->process, INFINITE);
    GetExitCodeProcess(child->process, &child->exitCode);
    PostMessageW(child->window, WM_QUIT, 0, 0);
    return 0;
}

int restart(bool withWindow) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    const std::wstring self = selfPath();
    std::wstring cmd = L"\"" + self + L"\" --child";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(self.c_str(), &cmd[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &pi)) {
        return 1;
    }
    AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    Child child;
    child.process = pi.hProcess;
    if (withWindow) {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"FloorParent";
        RegisterClassExW(&windowClass);
        child.window = CreateWindowExW(0, L"FloorParent", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                       windowClass.hInstance, nullptr);
        if (!child.window) {
            child.window = CreateWindowExW(0, L"FloorParent", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                           nullptr, windowClass.hInstance, nullptr);
        }
        HANDLE worker = CreateThread(nullptr, 0, waitForChild, &child, 0, nullptr);
        MSG msg;
        while (GetMessageW(&msg, child.window, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
        DestroyWindow(child.window);
    } else {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &child.exitCode);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(job);
    return static_cast<int>(child.exitCode);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    AllowSetForegroundWindow(ASFW_ANY);
    // Its own flags hold no blank and no quote: the first word after the program name.
    const std::wstring line = GetCommandLineW();
    const size_t programEnd = line.empty()      ? 0
                              : line[0] == L'"' ? line.find(L'"', 1)
                                                : line.find_first_of(L" \t");
    const size_t start = programEnd == std::wstring::npos
                             ? std::wstring::npos
                             : line.find_first_not_of(L" \t", programEnd + 1);
    const std::wstring mode = start == std::wstring::npos
                                  ? std::wstring()
                                  : line.substr(start, line.find_first_of(L" \t", start) - start);
    if (mode == L"--restart" || mode == L"--restart-window") {
        return restart(mode == L"--restart-window");
    }
    return launchRuntimeBesideExe("floor.exe");
}
