// Real-runtime test support: images over the genuine Windows runtimes scripts/fetch-runtimes
// makes, running the probe program.
#ifndef CORVELA_REALJVMSUPPORT_H
#define CORVELA_REALJVMSUPPORT_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "LauncherImage.h"
#include "TestSupport.h"

namespace realjvm_test {

// A runtime under CORVELA_REAL_RUNTIMES: L"java17", L"java11" or L"java21".
std::wstring realRuntimeDir(const std::wstring& name);
// The probe program (java/realprobe/Main.java) the build compiles.
std::wstring probeJar();

// An application image whose application is the probe and whose runtime is a shared one (a
// real one, or the bridge), named by app.runtime (so no test copies a runtime).
class RealImage {
public:
    // `launcher`: corvela.exe, corvela-console.exe or corvela-service.exe from the build.
    RealImage(const std::wstring& root, const std::wstring& name, const std::wstring& launcher,
              const std::wstring& runtimeDir);

    std::wstring exe() const { return root + L"\\" + name + L".exe"; }
    std::wstring appDir() const { return root + L"\\app"; }

    // The configuration: the runtime, the probe as the application, then `more` (lines of
    // [Application], and sections after them).
    void cfg(const std::string& more = std::string()) const;
    // The same with the probe as a module on the module path.
    void moduleCfg(const std::string& more = std::string()) const;
    // "PATH" as an in-process run gets it: listing the application directory, in capitals
    // so that it tells itself from the restart's addition.
    std::wstring pathListingAppDir() const;
    // Gives the image a package name, so that the launcher has per-user folders.
    void package(const std::string& name) const;

    // Runs the launcher with `args` through `path`, with standard error's lines ending in
    // "\n" only.
    testing_support::ProcessResult run(testing_support::LaunchPath path, const std::wstring& args,
                                       std::map<std::wstring, std::wstring> env = {}) const;

    const std::wstring root;
    const std::wstring name;
    const std::wstring runtimeDir;
};

} // namespace realjvm_test

#endif
