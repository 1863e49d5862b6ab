#include "TextFile.h"

#include "ErrorHandling.h"

UniqueFile openTextFile(const tstring& path) {
    return UniqueFile(_wfopen(path.c_str(), L"rt"));
}

std::string fileOpenError(const tstring& path) {
    return (tstrings::Builder() << L"Error opening \"" << path << L"\" file: " << crtErrorText())
        .str();
}
