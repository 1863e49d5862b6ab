#include "PackageFile.h"

#include <cstdio>
#include <memory>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"

namespace {

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

} // namespace

PackageFile PackageFile::loadFromAppDir(const tstring& appDir) {
    PackageFile result;
    const tstring path = FileUtils::mkpath() << appDir << L".package";
    if (!FileUtils::fileExists(path)) {
        return result;
    }
    LOG_TRACE(L"Read \"" << path << L"\" package file");

    // Text mode, as the configuration file: CR LF reads as LF, Ctrl-Z ends the input.
    std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"rt"));
    if (!file) {
        THROW_ERROR(std::runtime_error(
            (tstrings::Builder() << L"Error opening \"" << path << L"\" file: " << crtErrorText())
                .str()));
    }
    std::string line;
    bool gotLine = false;
    int c;
    while ((c = fgetc(file.get())) != EOF) {
        gotLine = true;
        if (c == '\n') {
            break;
        }
        line.push_back(static_cast<char>(c));
    }
    if (gotLine) {
        result.name = tstrings::fromUtf8(line);
        LOG_TRACE(L"Package name is [" << result.name << L"]");
    }
    return result;
}
