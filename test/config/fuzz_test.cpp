// Malformed configuration and package files fail only with the readers' own errors.
#include <gtest/gtest.h>

#include <random>

#include "CfgFile.h"
#include "ErrorHandling.h"
#include "Log.h"
#include "LogCapture.h"
#include "PackageFile.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

// Random and mutated bytes for both readers: nothing may crash or hang, and the only
// failure allowed is the parse error that names a missing "]".
const char* const seeds[] = {
    // One seed on two lines: the parentheses say the concatenation is meant.
    ("[Application]\r\napp.mainjar=$APPDIR\\main.jar\r\napp.classpath=a.jar\r\n"
     "[JavaOptions]\njava-options=-Dx=y\n[ArgOptions]\narguments=a b\n"),
    "; comment\n[Application]\napp.runtime=$ROOTDIR\\rt\napp.splash=s.png\n[x]\n=\n\\=\n",
    "\xef\xbb\xbf[ArgOptions]\narguments\n\x1a[Application\n",
};

std::string mutate(std::mt19937& random, std::string text) {
    const char interesting[] = "[]=\\;\r\n\x1a$\xff\xc3\x80 ";
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < edits; ++i) {
        const size_t pos = text.empty() ? 0 : random() % (text.size() + 1);
        switch (random() % 4) {
        case 0:
            text.insert(pos, 1, interesting[random() % (sizeof(interesting) - 1)]);
            break;
        case 1:
            if (!text.empty() && pos < text.size()) {
                text.erase(pos, 1 + random() % 4);
            }
            break;
        case 2:
            if (pos < text.size()) {
                text[pos] = static_cast<char>(random() % 256);
            }
            break;
        default:
            text.insert(pos, text.substr(pos / 2, random() % 16));
            break;
        }
    }
    return text;
}

std::string randomBytes(std::mt19937& random) {
    std::string text(random() % 300, '\0');
    for (char& c : text) {
        c = static_cast<char>(random() % 256);
    }
    return text;
}

TEST(Fuzz, ReadersFailOnlyWithTheirOwnErrors) {
    ts::QuietLog quiet;
    std::mt19937 random(20261210);
    ts::TempDir dir;
    const tstring cfgPath = dir / L"Fuzz.cfg";
    const MacroMap macros{
        {L"$APPDIR", L"C:\\$ROOTDIR\\app"}, {L"$BINDIR", L"C:\\b"}, {L"$ROOTDIR", L"C:\\$APPDIR"}};
    int parseErrors = 0;
    for (int round = 0; round < 1500; ++round) {
        const std::string bytes =
            round % 3 == 0 ? randomBytes(random) : mutate(random, seeds[round % 3]);
        ts::writeFile(cfgPath, bytes);
        ts::writeFile(dir / L".package", bytes);
        try {
            const CfgFile cfg = CfgFile::load(cfgPath).withMacrosExpanded(macros);
            (void)cfg.sectionProperties(SectionName::Application);
        } catch (const CvErrorBase& e) {
            const std::string message = e.bareMessage();
            ++parseErrors;
            EXPECT_NE(message.find("Missing ']' character"), std::string::npos) << message;
        }
        EXPECT_NO_THROW(PackageFile::loadFromAppDir(dir.path()));
    }
    // The mutations must reach the error path too, or the test proves little.
    EXPECT_GT(parseErrors, 0);
}

} // namespace
