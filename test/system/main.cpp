// Entry point of test_system, also the child that writes the arguments it was given.
#include <gtest/gtest.h>

#include <cstring>

#include "SysInfo.h"
#include "TestSupport.h"

namespace ts = testing_support;

// Run as a child with --write-args=FILE (first argument), this executable writes what
// SysInfo::getCommandArgs gives it, one a line.
int main(int argc, char** argv) {
    const char* const option = "--write-args=";
    if (argc > 1 && strncmp(argv[1], option, strlen(option)) == 0) {
        std::string text;
        for (const tstring& arg : SysInfo::getCommandArgs()) {
            text += ts::utf8(arg) + "\n";
        }
        ts::writeFile(ts::wide(argv[1] + strlen(option)), text);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
