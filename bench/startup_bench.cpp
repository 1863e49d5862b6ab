// Start-up benchmark: times whole starts of the baseline launcher, the floors a launcher of
// this design cannot go below (bench/floor.cpp), and Corvela's in-process path and restart
// path, taken in alternation so that machine drift hits all alike.
// The stand-in runtime's JLI_Launch returns 0 at once and records the launcher's CPU time
// and peak working set at its entry.
//
// usage: startup_bench WORKDIR CORVELA_EXE BASELINE_EXE FLOOR_EXE STANDIN_DIR RUNS

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
    std::wstring args;
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

// The ratio of two variants' times, round by round (each round starts every variant once,
// so a ratio compares starts made at nearly the same moment): median and p10-p90.
std::string pairedRatio(const Variant& a, const Variant& b) {
    std::vector<double> ratios;
    for (size_t i = 0; i < a.wallMs.size() && i < b.wallMs.size(); ++i) {
        ratios.push_back(a.wallMs[i] / b.wallMs[i]);
    }
    // The quickest start of each is the least disturbed by the rest of the machine.
    const double best = *std::min_element(a.wallMs.begin(), a.wallMs.end()) /
                        *std::min_element(b.wallMs.begin(), b.wallMs.end());
    char text[160];
    snprintf(text, sizeof(text), "%.3f (p10-p90 %.3f-%.3f); quickest against quickest %.3f",
             percentile(ratios, 0.5), percentile(ratios, 0.1), percentile(ratios, 0.9), best);
    return text;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: startup_bench WORKDIR CORVELA_EXE BASELINE_EXE FLOOR_EXE "
                        "STANDIN_DIR RUNS\n");
        return 2;
    }
    const std::wstring work = argv[1];
    const std::wstring standin = argv[5];
    const int runs = _wtoi(argv[6]);
    const std::wstring record = work + L"\\record.txt";
    const std::wstring path = ts::env(L"PATH");

    std::vector<Variant> variants(6);
    variants[0].name = "baseline";
    variants[0].exe = makeImage(work + L"\\baseline", argv[3], L"baseline.exe", standin);
    variants[1].name = "floor (+ user32)";
    variants[1].exe = makeImage(work + L"\\floor", argv[4], L"floor.exe", standin);
    variants[2].name = "restart floor";
    variants[2].exe = variants[1].exe;
    variants[2].args = L" --restart";
    variants[3].name = "restart floor with window";
    variants[3].exe = variants[1].exe;
    variants[3].args = L" --restart-window";
    variants[4].name = "in-process";
    variants[4].exe = makeImage(work + L"\\inproc", argv[2], L"Demo.exe", standin);
    variants[4].env[L"PATH"] = path + L";" + work + L"\\inproc\\app";
    variants[5].name = "restart";
    variants[5].exe = makeImage(work + L"\\restart", argv[2], L"Demo.exe", standin);
    variants[5].env[L"PATH"] = path;
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
            const ts::ProcessResult r = ts::run(v.exe, L"\"" + v.exe + L"\"" + v.args, v.env);
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
    printf("\nruns per start: %d\n", runs);
    printf("in-process / floor, paired by round: %s\n",
           pairedRatio(variants[4], variants[1]).c_str());
    printf("restart / restart floor with window, paired by round: %s\n",
           pairedRatio(variants[5], variants[3]).c_str());
    printf("restart / restart floor, paired by round: %s\n",
           pairedRatio(variants[5], variants[2]).c_str());
    return 0;
}
