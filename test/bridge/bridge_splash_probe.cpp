// Runs a GUI image with a splash screen over the bridge runtime on a display, in process
// and through the restart, and checks that the host's Java program has the splash: the
// program reports SplashScreen.getSplashScreen() and its size. Run it on an X display
// (scripts/wine-display-run). Exits 0 when everything matched.

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "BridgeSupport.h"
#include "TestSupport.h"

namespace ts = testing_support;
using bridge_test::BridgeImage;
using bridge_test::LiveProcess;
using bridge_test::Stream;

namespace {

int check(const BridgeImage& image, bool inProcess, const std::string& expected) {
    const char* path = inProcess ? "in process" : "restart";
    std::unique_ptr<ts::ScopedEnv> pathVar;
    if (inProcess) {
        pathVar.reset(new ts::ScopedEnv(L"PATH", image.pathListingAppDir()));
    }
    LiveProcess gui(image.exe(), L"splash", LiveProcess::Options());
    const DWORD code = gui.wait();
    const std::string seen = gui.nextLine(Stream::Output);
    printf("%s: exit code %lu, the program saw [%s]\n", path, code, seen.c_str());
    if (code != 0 || seen != expected) {
        printf("FAIL (%s): expected [%s]\n%s", path, expected.c_str(),
               gui.all(Stream::Error).c_str());
        return 1;
    }
    return 0;
}

} // namespace

int wmain() {
    ts::TempDir dir(L"bridge-splash");
    BridgeImage image(dir / L"Splash", L"Splash", L"corvela.exe");
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    // The same program without a splash has none: the check tells the two apart.
    int failures = check(image, true, "splash: none");
    ts::copyFile(bridge_test::splashImage(), image.appDir() + L"\\splash.png");
    image.cfg("app.splash=$APPDIR\\splash.png\n");
    failures += check(image, true, "splash: 96x64") + check(image, false, "splash: 96x64");
    printf(failures ? "splash test failed\n" : "splash test passed\n");
    return failures ? 1 : 0;
}
