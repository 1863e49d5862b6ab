// Runs a GUI image over a genuine Windows Java 17 on a display, in process and through the
// restart: the splash the configuration names is on the screen (its pixels, read back from
// the screen) before the program's Swing window replaces it with a colour of its own. Run
// it on an X display (scripts/wine-display-run). Exits 0 when everything matched.

// The screen's pixels need GDI, which the project's headers leave out.
#undef NOGDI
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BridgeSupport.h"
#include "LauncherImage.h"
#include "RealJvmSupport.h"
#include "TestSupport.h"

namespace ts = testing_support;
using bridge_test::LiveProcess;
using bridge_test::Stream;
using realjvm_test::RealImage;

namespace {

// The splash image's centre row (make_png.py: 96x64, row y is (40, 90 + y % 100, 160)),
// centred on the screen, and the colour of the program's window at (100, 100) 200x150.
const COLORREF kSplashCentre = RGB(40, 90 + 32, 160);
const COLORREF kWindowColour = RGB(0x20, 0xC0, 0x40);

COLORREF screenPixel(int x, int y) {
    const HDC screen = GetDC(nullptr);
    const COLORREF colour = GetPixel(screen, x, y);
    ReleaseDC(nullptr, screen);
    return colour;
}

bool closeTo(COLORREF a, COLORREF b) {
    return std::abs(GetRValue(a) - GetRValue(b)) <= 8 &&
           std::abs(GetGValue(a) - GetGValue(b)) <= 8 && std::abs(GetBValue(a) - GetBValue(b)) <= 8;
}

int check(const RealImage& image, bool inProcess) {
    const char* path = inProcess ? "in process" : "restart";
    const ts::ScopedEnv pathVar(L"PATH", inProcess ? image.pathListingAppDir() : ts::env(L"PATH"));
    LiveProcess gui(image.exe(), L"window", LiveProcess::Options());
    const std::string splash = gui.nextLine(Stream::Output);
    const COLORREF splashPixel =
        screenPixel(GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2);
    gui.write("show\n");
    const std::string shown = gui.nextLine(Stream::Output);
    const COLORREF windowPixel = screenPixel(200, 175);
    gui.write("end\n");
    const DWORD code = gui.wait();
    printf("%s: the program saw [%s], then [%s]; screen centre %06lx, window %06lx; exit code "
           "%lu\n",
           path, splash.c_str(), shown.c_str(), static_cast<unsigned long>(splashPixel),
           static_cast<unsigned long>(windowPixel), code);
    if (splash != "splash: 96x64" || shown != "window shown" || code != 0 ||
        !closeTo(splashPixel, kSplashCentre) || !closeTo(windowPixel, kWindowColour)) {
        printf("FAIL (%s): expected the splash's pixel %06lx at the screen's centre, then the "
               "window's %06lx, and exit code 0\n%s",
               path, static_cast<unsigned long>(kSplashCentre),
               static_cast<unsigned long>(kWindowColour), gui.all(Stream::Error).c_str());
        return 1;
    }
    return 0;
}

} // namespace

int wmain() {
    ts::TempDir dir(L"realjvm-gui");
    RealImage image(dir / L"Gui", L"Gui", L"corvela.exe", realjvm_test::realRuntimeDir(L"java17"));
    ts::copyFile(ts::binDir() + L"\\bridge-splash.png", image.appDir() + L"\\splash.png");
    image.cfg("app.splash=$APPDIR\\splash.png\n");
    ts::ScopedEnv debug(L"CORVELA_DEBUG", L"false");
    const int failures = check(image, true) + check(image, false);
    printf(failures ? "GUI test failed\n" : "GUI test passed\n");
    return failures ? 1 : 0;
}
