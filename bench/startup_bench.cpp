// Start-up benchmark: times whole starts of the baseline launcher, of Corvela's in-process
// path and of its restart path, taken in alternation so that machine drift hits all alike.
// The stand-in runtime's JLI_Launch returns 0 at once and records the launcher's CPU time
// and peak working set at its entry.
//
// usage: startup_bench WORKDIR CORVELA_EXE BASELINE_EXE STANDIN_DIR RUNS

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace ts = testing_support;

namespace {

struct Variant {
    std::string name;
    std::wstring exe;
    std::map<std::wstring, std::wstring> env;
    std::vector<double> wallMs;
    std::vector<double> cpuMs;
    std::vector<double> peakKiB;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const double pos = p * (v.size() - 1);
    const size_t lo = static_cast<size_t>(pos);
    const size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (pos - lo);
}

double nowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring makeImage(const std::wstring& root, const std::wstring& launcher,
                       const std::wstring& exeName, const std::wstring& standin) {
    ts::makeDirs(root + L"\\app");
    ts::makeDirs(root + L"\\runtime\\bin");
    ts::copyFile(launcher, root + L"\\" + exeName);
    ts::copyFile(standin + L"\\jli.dll", root + L"\\runtime\\bin\\jli.dll");
    ts::writeFile(root + L"\\app\\Demo.cfg",
                  "[Application]\r\napp.classpath=$APPDIR\\main.jar\r\napp.mainclass=app.Main\r\n");
    return root + L"\\" + exeName;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: startup_bench WORKDIR CORVELA_EXE BASELINE_EXE STANDIN_DIR RUNS\n");
        return 2;
    }
    const std::wstring work = argv[1];
    const int runs = _wtoi(argv[5]);
    const std::wstring record = work + L"\\record.txt";
    const std::wstring path = ts::env(L"PATH");

    std::vector<Variant> variants(4);
    variants[0].name = "baseline";
    variants[0].exe = makeImage(work + L"\\baseline", argv[3], L"baseline.exe", argv[4]);
    variants[3].name = "baseline + shell32/user32";
    variants[3].exe = variants[0].exe;
    variants[3].env[L"BASELINE_LOAD_SHELL32"] = L"1";
    variants[1].name = "in-process";
    variants[1].exe = makeImage(work + L"\\inproc", argv[2], L"Demo.exe", argv[4]);
    variants[1].env[L"PATH"] = path + L";" + work + L"\\inproc\\app";
    variants[2].name = "restart";
    variants[2].exe = makeImage(work + L"\\restart", argv[2], L"Demo.exe", argv[4]);
    variants[2].env[L"PATH"] = path;
    for (Variant& v : variants) {
        v.env[L"STANDIN_RECORD"] = record;
        v.env[L"CORVELA_DEBUG!"] = L"";
    }

    // One warm-up round, then `runs` rounds, each in a rotated order.
    for (int round = -1; round < runs; ++round) {
        for (size_t k = 0; k < variants.size(); ++k) {
            Variant& v = variants[(k + static_cast<size_t>(round + 1)) % variants.size()];
            DeleteFileW(record.c_str());
            const double start = nowMs();
            const ts::ProcessResult r = ts::run(v.exe, L"\"" + v.exe + L"\"", v.env);
            const double elapsed = nowMs() - start;
            if (r.exitCode != 0) {
                fprintf(stderr, "%s failed with %lu: %s\n", v.name.c_str(), r.exitCode,
                        r.err.c_str());
                return 1;
            }
            if (round < 0) {
                continue;
            }
            const ts::Record rec = ts::Record::read(record);
            v.wallMs.push_back(elapsed);
            v.cpuMs.push_back(atof(rec.get("cpu_us").c_str()) / 1000.0);
            v.peakKiB.push_back(atof(rec.get("peak_ws_kib").c_str()));
        }
    }

    printf("| start | wall median (ms) | wall p10-p90 (ms) | CPU before JLI_Launch, median (ms) | "
           "peak working set at JLI_Launch (KiB) |\n");
    printf("| --- | --- | --- | --- | --- |\n");
    for (const Variant& v : variants) {
        printf("| %s | %.1f | %.1f-%.1f | %.1f | %.0f |\n", v.name.c_str(),
               percentile(v.wallMs, 0.5), percentile(v.wallMs, 0.1), percentile(v.wallMs, 0.9),
               percentile(v.cpuMs, 0.5), percentile(v.peakKiB, 0.5));
    }
    const double base = percentile(variants[0].wallMs, 0.5);
    printf("\nruns per start: %d\n", runs);
    printf("ratio in-process/baseline (wall median): %.3f\n",
           percentile(variants[1].wallMs, 0.5) / base);
    printf("ratio restart/baseline (wall median): %.3f\n",
           percentile(variants[2].wallMs, 0.5) / base);
    printf("CPU before JLI_Launch, in-process minus baseline (median): %.1f ms\n",
           percentile(variants[1].cpuMs, 0.5) - percentile(variants[0].cpuMs, 0.5));
    const double shell = percentile(variants[3].wallMs, 0.5);
    printf("ratio in-process/(baseline + shell32/user32) (wall median): %.3f\n",
           percentile(variants[1].wallMs, 0.5) / shell);
    printf("ratio restart/(baseline + shell32/user32) (wall median): %.3f\n",
           percentile(variants[2].wallMs, 0.5) / shell);
    return 0;
}
