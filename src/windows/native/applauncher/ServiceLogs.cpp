// Log files of a service and the pipes that fill them (ServiceLogs.h).
#include <windows.h>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "ServiceLogs.h"
#include "ServiceSettings.h"

RollingLog::RollingLog(const tstring& path, unsigned long long maxSize, unsigned long keep)
    : path(path), maxSize(maxSize), keep(keep), size(0) {
    open();
}

void RollingLog::open() {
    // Others may read the log, and roll or delete it, while the service writes.
    file.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        THROW_LAST_ERROR(&CreateFileW, L"CreateFile(" << path << L") failed");
    }
    LARGE_INTEGER current = {};
    if (!GetFileSizeEx(file.get(), &current)) {
        THROW_LAST_ERROR(&GetFileSizeEx, L"GetFileSizeEx(" << path << L") failed");
    }
    size = static_cast<unsigned long long>(current.QuadPart);
}

tstring RollingLog::rolledName(unsigned long index) const {
    return (tstrings::Builder() << path << L"." << index).tstr();
}

void RollingLog::roll() {
    file.reset();
    if (keep == 0) {
        DeleteFileW(path.c_str());
    } else {
        DeleteFileW(rolledName(keep).c_str());
        for (unsigned long index = keep - 1; index >= 1; --index) {
            MoveFileExW(rolledName(index).c_str(), rolledName(index + 1).c_str(),
                        MOVEFILE_REPLACE_EXISTING);
        }
        if (!MoveFileExW(path.c_str(), rolledName(1).c_str(), MOVEFILE_REPLACE_EXISTING)) {
            const DWORD error = GetLastError();
            open();
            THROW_SYSTEM_ERROR_CODE(error, &MoveFileExW,
                                    L"MoveFileEx(" << path << L", " << rolledName(1)
                                                   << L") failed");
        }
    }
    open();
}

void RollingLog::write(const char* data, size_t count) {
    if (size > 0 && size + count > maxSize) {
        roll();
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), data, static_cast<DWORD>(count), &written, nullptr)) {
        THROW_LAST_ERROR(&WriteFile, L"WriteFile(" << path << L") failed");
    }
    size += written;
}

// One standard handle led through a pipe into one log.
class ServiceLogs::Relay {
public:
    Relay(DWORD stdHandle, const tstring& path, const ServiceSettings& settings)
        : log(path, settings.logMaxSize, settings.logKeep) {
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
            THROW_LAST_ERROR(&CreatePipe, L"CreatePipe() failed");
        }
        reader.reset(readEnd);
        writer.reset(writeEnd);
        thread.reset(CreateThread(nullptr, 0, copyAll, this, 0, nullptr));
        if (!thread) {
            THROW_LAST_ERROR(&CreateThread, L"CreateThread() failed");
        }
        SetStdHandle(stdHandle, writer.get());
    }

    void close(DWORD stdHandle) noexcept {
        SetStdHandle(stdHandle, nullptr);
        writer.reset();
        WaitForSingleObject(thread.get(), 5000);
    }

private:
    static DWORD WINAPI copyAll(LPVOID param) {
        Relay* const relay = static_cast<Relay*>(param);
        while (relay->copyOnce()) {
        }
        return 0;
    }

    bool copyOnce() noexcept {
        char buffer[8192];
        DWORD read = 0;
        if (!ReadFile(reader.get(), buffer, sizeof(buffer), &read, nullptr) || read == 0) {
            return false;
        }
        try {
            log.write(buffer, read);
        }
        CATCH_AND_LOG
        return true;
    }

    RollingLog log;
    UniqueHandle reader;
    UniqueHandle writer;
    UniqueHandle thread;
};

ServiceLogs::ServiceLogs() = default;

// The relays' threads read for as long as the process runs: the standard handles stay
// theirs to the end, so the logs are never closed before it.
ServiceLogs::~ServiceLogs() {
    out.release();
    err.release();
}

std::unique_ptr<ServiceLogs> ServiceLogs::open(const ServiceSettings& settings,
                                               const tstring& name) {
    FileUtils::makeDirectory(settings.logDir);
    std::unique_ptr<ServiceLogs> logs(new ServiceLogs());
    logs->out.reset(new Relay(STD_OUTPUT_HANDLE,
                              FileUtils::mkpath() << settings.logDir << (name + L".out.log"),
                              settings));
    logs->err.reset(new Relay(STD_ERROR_HANDLE,
                              FileUtils::mkpath() << settings.logDir << (name + L".err.log"),
                              settings));
    return logs;
}

void ServiceLogs::close() noexcept {
    if (InterlockedExchange(&closed, 1) != 0) {
        return;
    }
    out->close(STD_OUTPUT_HANDLE);
    err->close(STD_ERROR_HANDLE);
}
