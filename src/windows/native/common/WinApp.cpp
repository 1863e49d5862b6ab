// Windows half of app.h: the console for the trace, and the message box.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "SysInfo.h"
#include "WindowsSupport.h"
#include "app.h"

namespace {

class Console {
public:
    class Channel {
    public:
        explicit Channel(FILE* stream) {
            // The result is not checked: without a console device the C runtime keeps
            // whatever it can, and printed records go to the unchanged stream.
            FILE* reopenedStream = nullptr;
            freopen_s(&reopenedStream, "CONOUT$", "w", stream);
            reopened.reset(reopenedStream);
        }

        virtual ~Channel() {
            try {
                reopened.reset();
            }
            CATCH_AND_LOG
        }

        Channel(const Channel&) = delete;
        Channel& operator=(const Channel&) = delete;

    private:
        UniqueFile reopened;
    };

    Console() {
        if (AttachConsole(ATTACH_PARENT_PROCESS) || AllocConsole()) {
            out.reset(new Channel(stdout));
            err.reset(new Channel(stderr));
        }
    }

    ~Console() {
        err.reset();
        out.reset();
    }

    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

private:
    std::unique_ptr<Channel> out;
    std::unique_ptr<Channel> err;
};

class LastErrorGuiLogAppender : public LogAppender {
public:
    void append(const LogRecord&) override {
        const tstring text = tstrings::fromUtf8(app::lastErrorMessage());
        MessageBoxW(nullptr, text.c_str(), caption().c_str(), MB_ICONERROR);
    }

private:
    // The box must appear even when the failure being shown is that the launcher could not
    // work out its own path.
    static tstring caption() {
        try {
            return FileUtils::basename(SysInfo::getProcessModulePath());
        } catch (const std::exception&) {
            wchar_t path[MAX_PATH] = L"";
            GetModuleFileNameW(nullptr, path, MAX_PATH);
            return FileUtils::basename(path);
        }
    }
};

} // namespace

namespace app {

int wlaunch(const std::nothrow_t& tag, LaunchFunc launchFunc) {
    std::unique_ptr<Console> console;
    try {
        if (debugSwitchOn()) {
            console.reset(new Console());
        }
    }
    CATCH_AND_LOG

    LastErrorGuiLogAppender guiAppender;
    TeeLogAppender lastErrorAppender(&defaultLastErrorAppender(), &guiAppender);
    const int result = launch(tag, launchFunc, &lastErrorAppender);
    console.reset();
    return result;
}

} // namespace app
