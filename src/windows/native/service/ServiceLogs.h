// A service's standard output and error in log files: appended, rolled at a size.
#ifndef CORVELA_SERVICELOGS_H
#define CORVELA_SERVICELOGS_H

#include <memory>

#include "WindowsSupport.h"
#include "tstrings.h"

struct ServiceSettings;

// One log file, opened for appending. A write that would take it past the size limit first
// renames it to PATH.1 (PATH.1 to PATH.2 and so on, the oldest past `keep` deleted) and
// starts it anew; a single write larger than the limit still goes whole into one file.
class RollingLog {
public:
    RollingLog(const tstring& path, unsigned long long maxSize, unsigned long keep);

    // Raises when the file cannot be written or rolled.
    void write(const char* data, size_t size);

private:
    void open();
    void roll();
    tstring rolledName(unsigned long index) const;

    tstring path;
    unsigned long long maxSize;
    unsigned long keep;
    unsigned long long size;
    UniqueFileHandle file;
};

// Standard output and error of this process, and of the runtime it loads, led into the
// logs NAME.out.log and NAME.err.log: each standard handle becomes a pipe that a thread of
// its own copies into the file. Lives until the process ends.
class ServiceLogs {
public:
    // Makes the directory as needed, opens both files and swaps the standard handles.
    static std::unique_ptr<ServiceLogs> open(const ServiceSettings& settings, const tstring& name);
    ~ServiceLogs();

    // Closes the standard handles' write ends and waits (a few seconds at most) for the
    // threads to copy what is left: for the service's end, so that the files hold everything
    // before the manager hears of it. Only the first call of any thread does it.
    void close() noexcept;

private:
    class Relay;
    ServiceLogs();

    std::unique_ptr<Relay> out;
    std::unique_ptr<Relay> err;
    volatile long closed = 0;
};

#endif
