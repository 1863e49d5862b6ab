// Text files for the configuration and package readers, over the C runtime's text mode.
#include "TextFile.h"

#include <cstdio>
#include <cstring>

#include "ErrorHandling.h"
#include "UniqueResource.h"

namespace {

const char utf8ByteOrderMark[] = "\xEF\xBB\xBF";
const size_t utf8ByteOrderMarkSize = sizeof(utf8ByteOrderMark) - 1;

} // namespace

class TextFile::Reader {
public:
    explicit Reader(const tstring& path) : file(_wfopen(path.c_str(), L"rt")) {}

    bool isOpen() const { return static_cast<bool>(file); }
    bool failed() const { return file && ferror(file.get()) != 0; }

    bool nextLine(std::string& line) {
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

private:
    bool fill() {
        if (!file) {
            return false;
        }
        count = fread(buffer, 1, sizeof(buffer), file.get());
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

    UniqueFile file;
    char buffer[16384];
    size_t position = 0;
    size_t count = 0;
    bool atStart = true;
};

TextFile::TextFile(const tstring& path) : reader(new Reader(path)) {}

TextFile::~TextFile() = default;

bool TextFile::isOpen() const {
    return reader->isOpen();
}

bool TextFile::nextLine(std::string& line) {
    return reader->nextLine(line);
}

bool TextFile::failed() const {
    return reader->failed();
}

std::string fileOpenError(const tstring& path) {
    return (tstrings::Builder() << L"Error opening \"" << path << L"\" file: " << crtErrorText())
        .str();
}
