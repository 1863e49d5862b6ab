// A service that hangs on its way down: asked to stop, it reports STOP_PENDING once, with a
// wait hint of a second, and then neither progresses nor ends.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status = {};

void report(DWORD state, DWORD waitHint) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = state == SERVICE_STOP_PENDING ? 1 : 0;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING, 1000);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPWSTR* argv) {
    statusHandle = RegisterServiceCtrlHandlerExW(argv[0], onControl, nullptr);
    report(SERVICE_RUNNING, 0);
    Sleep(INFINITE);
}

} // namespace

int wmain() {
    wchar_t name[] = L"";
    const SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
