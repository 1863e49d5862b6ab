// Entry point of test_core, also the child that reports the path it finds for itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "SysInfo.h"
#include "TestSupport.h"

// A copy of this executable in a deep directory is run with --write-module-path=FILE and
// reports the path it finds for itself.
int main(int argc, char** argv) {
    const char* const option = "--write-module-path=";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], option, strlen(option)) == 0) {
            const std::wstring out = testing_support::wide(argv[i] + strlen(option));
            testing_support::writeFile(out, testing_support::utf8(SysInfo::getCurrentModulePath()));
            return 0;
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
