// File and path utilities, neutral half: path text operations.
#include "FileUtils.h"

namespace FileUtils {

namespace {

const wchar_t* const separators = L"\\/";

} // namespace

bool isDirSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

tstring basename(const tstring& path) {
    const size_t pos = path.find_last_of(separators);
    return pos == tstring::npos ? path : path.substr(pos + 1);
}

tstring dirname(const tstring& path) {
    tstring work = path;
    if (tstrings::endsWith(work, L"/.") || tstrings::endsWith(work, L"\\.")) {
        work.resize(work.size() - 2);
    }
    const size_t sep = work.find_last_of(separators);
    if (sep == tstring::npos) {
        return tstring();
    }
    const size_t last = work.find_last_not_of(separators, sep);
    if (last == tstring::npos) {
        return tstring();
    }
    return work.substr(0, last + 1);
}

tstring stripTrailingSeparators(const tstring& path) {
    const size_t last = path.find_last_not_of(separators);
    return last == tstring::npos ? tstring() : path.substr(0, last + 1);
}

tstring combinePath(const tstring& path, const tstring& component) {
    if (path.empty()) {
        return component;
    }
    if (component.empty()) {
        return path;
    }
    const size_t skip = isDirSeparator(component[0]) ? 1 : 0;
    return stripTrailingSeparators(path) + L'\\' + component.substr(skip);
}

tstring stripExtension(const tstring& path) {
    const size_t dot = path.rfind(L'.');
    const size_t sep = path.find_last_of(separators);
    if (dot == tstring::npos || (sep != tstring::npos && sep > dot)) {
        return path;
    }
    return path.substr(0, dot);
}

} // namespace FileUtils
