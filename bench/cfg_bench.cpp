// Configuration benchmark: parses and expands generated configuration files of 10,000 and
// 100,000 lines and reports time per line and the memory the parsed result holds, to show
// that the cost grows linearly with the file.
//
// usage: cfg_bench WORKDIR

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <cstdio>
#include <string>
#include <vector>

#include "CfgFile.h"
#include "Log.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

// One [Application] section of class path lines, then one [JavaOptions] section of JVM
// options: every line is kept, so the memory held grows with the file too.
std::string generate(int lines) {
    std::string text = "; generated\r\n[Application]\r\napp.mainclass=app.Main\r\n";
    for (int i = 3; i < lines; ++i) {
        if (i == lines / 2) {
            text += "[JavaOptions]\r\n";
        } else if (i < lines / 2) {
            text += "app.classpath=$APPDIR\\lib\\library-" + std::to_string(i) + ".jar\r\n";
        } else {
            text += "java-options=-Dprop" + std::to_string(i) + "=$APPDIR\\value\r\n";
        }
    }
    return text;
}

// Live heap bytes, counted at the allocator: exact, and independent of what the platform
// reports about working sets.
std::atomic<size_t> liveBytes{0};

size_t heapBytes() {
    return liveBytes.load();
}

double nowMs() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

} // namespace

void* operator new(size_t size) {
    void* p = malloc(size + 16);
    if (!p) {
        throw std::bad_alloc();
    }
    *static_cast<size_t*>(p) = size;
    liveBytes += size;
    return static_cast<char*>(p) + 16;
}

void operator delete(void* p) noexcept {
    if (p) {
        char* block = static_cast<char*>(p) - 16;
        liveBytes -= *reinterpret_cast<size_t*>(block);
        free(block);
    }
}

void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: cfg_bench WORKDIR\n");
        return 2;
    }
    NopLogAppender quiet;
    Logger::instance().setAppender(quiet);
    const MacroMap macros{{L"$APPDIR", L"C:\\Program Files\\Demo\\app"},
                          {L"$BINDIR", L"C:\\Program Files\\Demo"},
                          {L"$ROOTDIR", L"C:\\Program Files\\Demo"}};
    printf("| lines | file size (KiB) | parse + expand, median of 7 (ms) | per line (us) | heap "
           "held by the result (KiB) |\n");
    printf("| --- | --- | --- | --- | --- |\n");
    double perLine[2] = {0, 0};
    double heldPerLine[2] = {0, 0};
    const int sizes[2] = {10000, 100000};
    for (int s = 0; s < 2; ++s) {
        const std::string text = generate(sizes[s]);
        const std::wstring path =
            std::wstring(argv[1]) + L"\\bench" + std::to_wstring(sizes[s]) + L".cfg";
        ts::writeFile(path, text);
        std::vector<double> times;
        size_t held = 0;
        for (int i = 0; i < 7; ++i) {
            const size_t before = heapBytes();
            const double start = nowMs();
            const CfgFile cfg = CfgFile::load(path).withMacrosExpanded(macros);
            times.push_back(nowMs() - start);
            held = std::max(held, heapBytes() - before);
            if (cfg.sectionProperties(SectionName::Application).empty()) {
                return 1;
            }
        }
        std::sort(times.begin(), times.end());
        const double median = times[times.size() / 2];
        perLine[s] = 1000.0 * median / sizes[s];
        printf("| %d | %zu | %.1f | %.2f | %zu |\n", sizes[s], text.size() / 1024, median,
               perLine[s], held / 1024);
        heldPerLine[s] = static_cast<double>(held) / sizes[s];
    }
    printf("\ntime per line, 100,000 against 10,000 lines: %.2f (1.00 is linear)\n",
           perLine[1] / perLine[0]);
    printf("memory per line, 100,000 against 10,000 lines: %.2f (1.00 is linear)\n",
           heldPerLine[1] / heldPerLine[0]);
    return 0;
}
