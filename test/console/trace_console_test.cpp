// The GUI launcher's trace and error line where its user reads them: in the file or pipe its
// standard error was given, and on the console it shares or attaches to, in any script. Runs
// with a console of its own (CTest starts it on a pseudo-terminal).
#include <gtest/gtest.h>

#include <windows.h>

#include "LauncherImage.h"
#include "TestSupport.h"
#include "WindowsSupport.h"

namespace ts = testing_support;
using ts::Image;

namespace {

const wchar_t* const scriptDir = L"\u041f\u0440\u0438\u043b\u043e\u0436\u0435\u043d\u0438\u0435 "
                                 L"\u65e5\u672c";

// How the launcher is started: as a shell starts a GUI program on Windows (no console of its
// own, so that it attaches to its parent's), or sharing its parent's console as Wine starts it.
enum class ConsoleUse { Attached, Shared };

std::string readAll(HANDLE pipe) {
    std::string data;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        data.append(buffer, n);
    }
    return data;
}

class TraceConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        console.reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
        ASSERT_TRUE(console)
            << "no console: run this test on a terminal (test/tools/run_with_terminal.py)";
        // A Western console, as Windows sets one up: its code page is not UTF-8.
        savedCodePage = GetConsoleOutputCP();
        SetConsoleOutputCP(437);
        // No configuration file: the launch fails after its first records, with an error line
        // that names the configuration's path under the image's directory.
        image.reset(new Image(dir / (std::wstring(scriptDir) + L"\\Demo")));
    }

    void TearDown() override {
        if (savedCodePage) {
            SetConsoleOutputCP(savedCodePage);
        }
    }

    std::wstring missingCfg() const { return image->appDir() + L"\\Demo.cfg"; }

    // Starts the launcher with the debug switch on and `output` as standard output and error
    // (null: none at all), and waits for it.
    DWORD start(ConsoleUse use, HANDLE output) const {
        ts::ScopedEnv debug(L"CORVELA_DEBUG", L"true");
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = output;
        si.hStdError = output;
        PROCESS_INFORMATION pi = {};
        std::wstring cmd = L"\"" + image->exe() + L"\"";
        const DWORD flags = use == ConsoleUse::Attached ? DETACHED_PROCESS : 0;
        if (!CreateProcessW(image->exe().c_str(), &cmd[0], nullptr, nullptr, TRUE, flags, nullptr,
                            nullptr, &si, &pi)) {
            ADD_FAILURE() << "CreateProcess: " << GetLastError();
            return 999;
        }
        WaitForSingleObject(pi.hProcess, 60000);
        DWORD code = 999;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return code;
    }

    void clearConsole() const {
        CONSOLE_SCREEN_BUFFER_INFO info;
        ASSERT_TRUE(GetConsoleScreenBufferInfo(console.get(), &info));
        DWORD written = 0;
        const COORD origin = {0, 0};
        FillConsoleOutputCharacterW(console.get(), L' ', info.dwSize.X * info.dwSize.Y, origin,
                                    &written);
        SetConsoleCursorPosition(console.get(), origin);
    }

    // The console's text from its first row to the cursor's, rows joined as they wrap.
    std::wstring consoleText() const {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (!GetConsoleScreenBufferInfo(console.get(), &info)) {
            return std::wstring();
        }
        std::wstring text(static_cast<size_t>(info.dwSize.X) * (info.dwCursorPosition.Y + 1), L' ');
        DWORD read = 0;
        const COORD origin = {0, 0};
        ReadConsoleOutputCharacterW(console.get(), &text[0], static_cast<DWORD>(text.size()),
                                    origin, &read);
        text.resize(read);
        return text;
    }

    ts::TempDir dir{L"trace"};
    std::unique_ptr<Image> image;
    UniqueFileHandle console;
    UINT savedCodePage = 0;
};

TEST_F(TraceConsoleTest, RedirectedStandardErrorGetsTheTraceAndTheErrorLine) {
    const std::string errorLine = "Error opening \"" + ts::utf8(missingCfg()) + "\" file";
    for (ConsoleUse use : {ConsoleUse::Attached, ConsoleUse::Shared}) {
        for (bool toFile : {true, false}) {
            SCOPED_TRACE(std::string(use == ConsoleUse::Attached ? "attached" : "shared") +
                         (toFile ? ", file" : ", pipe"));
            SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
            const std::wstring path =
                dir / (use == ConsoleUse::Attached ? L"attached.txt" : L"shared.txt");
            UniqueFileHandle file;
            UniqueHandle pipeRead;
            UniqueHandle pipeWrite;
            HANDLE output = nullptr;
            if (toFile) {
                file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                       CREATE_ALWAYS, 0, nullptr));
                ASSERT_TRUE(file) << GetLastError();
                output = file.get();
            } else {
                HANDLE read = nullptr;
                HANDLE write = nullptr;
                ASSERT_TRUE(CreatePipe(&read, &write, &inheritable, 1 << 20));
                pipeRead.reset(read);
                pipeWrite.reset(write);
                SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
                output = write;
            }
            clearConsole();
            const DWORD code = start(use, output);
            file.reset();
            pipeWrite.reset();
            const std::string written = toFile ? ts::readFile(path) : readAll(pipeRead.get());
            EXPECT_EQ(code, 1u);
            EXPECT_NE(written.find(": Entering app::launch"), std::string::npos) << written;
            EXPECT_NE(written.find("\n" + errorLine), std::string::npos) << written;
            EXPECT_NE(written.find(": Exiting app::launch"), std::string::npos) << written;
            // And nothing of it on the console.
            EXPECT_EQ(consoleText().find(L"app::launch"), std::wstring::npos);
        }
    }
}

TEST_F(TraceConsoleTest, NonAsciiTextReadsRightOnTheConsole) {
    const std::wstring errorLine = L"Error opening \"" + missingCfg() + L"\" file";
    for (ConsoleUse use : {ConsoleUse::Attached, ConsoleUse::Shared}) {
        SCOPED_TRACE(use == ConsoleUse::Attached ? "attached" : "shared");
        clearConsole();
        EXPECT_EQ(start(use, nullptr), 1u);
        const std::wstring text = consoleText();
        EXPECT_NE(text.find(L": Entering app::launch"), std::wstring::npos) << ts::utf8(text);
        // The trace's record of the configuration's path, and the error line.
        EXPECT_NE(text.find(L"Launcher config file path: \"" + missingCfg() + L"\""),
                  std::wstring::npos)
            << ts::utf8(text);
        EXPECT_NE(text.find(errorLine), std::wstring::npos) << ts::utf8(text);
    }
}

} // namespace
