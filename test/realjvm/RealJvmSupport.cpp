// Real-runtime test support: images over the genuine Windows runtimes.
#include "RealJvmSupport.h"

#include <algorithm>
#include <stdexcept>

namespace ts = testing_support;

namespace realjvm_test {

std::wstring realRuntimeDir(const std::wstring& name) {
    const std::wstring runtimes = ts::env(L"CORVELA_REAL_RUNTIMES");
    if (runtimes.empty()) {
        throw std::runtime_error("CORVELA_REAL_RUNTIMES is not set: run the tests through CTest");
    }
    const std::wstring dir = runtimes + L"\\" + name;
    if (GetFileAttributesW((dir + L"\\bin\\server\\jvm.dll").c_str()) == INVALID_FILE_ATTRIBUTES) {
        throw std::runtime_error(ts::utf8(dir) + " holds no runtime: run scripts/fetch-runtimes");
    }
    return dir;
}

std::wstring probeJar() {
    return ts::binDir() + L"\\realprobe.jar";
}

RealImage::RealImage(const std::wstring& root, const std::wstring& name,
                     const std::wstring& launcher, const std::wstring& runtimeDir)
    : root(root), name(name), runtimeDir(runtimeDir) {
    ts::makeDirs(appDir());
    ts::copyFile(ts::binDir() + L"\\" + launcher, exe());
    ts::copyFile(probeJar(), appDir() + L"\\realprobe.jar");
    cfg();
}

void RealImage::cfg(const std::string& more) const {
    ts::writeFile(appDir() + L"\\" + name + L".cfg",
                  "[Application]\napp.runtime=" + ts::utf8(runtimeDir) +
                      "\napp.classpath=$APPDIR\\realprobe.jar\napp.mainclass=realprobe.Main\n" +
                      more);
}

void RealImage::moduleCfg(const std::string& more) const {
    ts::writeFile(appDir() + L"\\" + name + L".cfg",
                  "[Application]\napp.runtime=" + ts::utf8(runtimeDir) +
                      "\napp.modulepath=$APPDIR\\realprobe.jar\n"
                      "app.mainmodule=realprobe/realprobe.Main\n" +
                      more);
}

std::wstring RealImage::pathListingAppDir() const {
    return ts::env(L"PATH") + L";" + ts::upper(appDir());
}

void RealImage::package(const std::string& packageName) const {
    ts::writeFile(appDir() + L"\\.package", packageName + "\n");
}

ts::ProcessResult RealImage::run(ts::LaunchPath path, const std::wstring& args,
                                 std::map<std::wstring, std::wstring> env) const {
    env.emplace(L"CORVELA_DEBUG", L"false");
    if (path == ts::LaunchPath::InProcess) {
        env.emplace(L"PATH", pathListingAppDir());
    }
    ts::ProcessResult r =
        ts::run(exe(), L"\"" + exe() + L"\"" + (args.empty() ? L"" : L" " + args), env, 120000,
                std::wstring(), ts::Redirections(), 2);
    for (std::string* text : {&r.out, &r.err}) {
        text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
    }
    return r;
}

} // namespace realjvm_test
