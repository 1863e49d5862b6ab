// GoogleTest under the win32 thread model of mingw-w64's GCC 12, whose libstdc++ has no
// std::mutex: the one class of GoogleTest built on it, over a Win32 event instead. Forced
// into every GoogleTest compile by test/CMakeLists.txt, with GTEST_HAS_NOTIFICATION_ set.
#ifndef CORVELA_GTEST_NOTIFICATION_H
#define CORVELA_GTEST_NOTIFICATION_H

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event); }
    void WaitForNotification() { WaitForSingleObject(event, INFINITE); }

private:
    HANDLE event;
};

} // namespace internal
} // namespace testing

#endif
