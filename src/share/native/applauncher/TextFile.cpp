#include "TextFile.h"

#include <cstring>

#include "ErrorHandling.h"

namespace {

const char utf8ByteOrderMark[] = "\xEF\xBB\xBF";
const size_t utf8ByteOrderMarkSize = sizeof(utf8ByteOrderMark) - 1;

} // namespace

UniqueFile openTextFile(const tstring& path) {
    return UniqueFile(_wfopen(path.c_str(), L"rt"));
}

std::string fileOpenError(const tstring& path) {
    return (tstrings::Builder() << L"Error opening \"" << path << L"\" file: " << crtErrorText())
        .str();
}

bool TextLineReader::fill() {
    count = fread(buffer, 1, sizeof(buffer), file);
    position = 0;
    if (atStart) {
        atStart = false;
        if (count >= utf8ByteOrderMarkSize &&
            memcmp(buffer, utf8ByteOrderMark, utf8ByteOrderMarkSize) == 0) {
            position = utf8ByteOrderMarkSize;
        }
    }
    return position < count;
}

bool TextLineReader::next(std::string& line) {
    line.clear();
    bool gotAny = false;
    while (position < count || fill()) {
        gotAny = true;
        const char* start = buffer + position;
        const void* end = memchr(start, '\n', count - position);
        if (end) {
            const size_t length = static_cast<size_t>(static_cast<const char*>(end) - start);
            line.append(start, length);
            position += length + 1;
            return true;
        }
        line.append(start, count - position);
        position = count;
    }
    return gotAny;
}
