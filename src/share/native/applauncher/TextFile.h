// Text files as the configuration and package readers read them: line by line.
#ifndef CORVELA_TEXTFILE_H
#define CORVELA_TEXTFILE_H

#include <memory>
#include <string>

#include "tstrings.h"

// Reads in the C runtime's text mode, where CR LF reads as LF and a Ctrl-Z byte ends the
// input, and hands out each line as UTF-8 bytes without its line end. One leading UTF-8
// byte-order mark is skipped: editors such as Notepad write one, and it must neither hide
// the first line's meaning nor become part of a name.
class TextFile {
public:
    // Never raises: a file that cannot be opened reads as not open, and errno tells why.
    explicit TextFile(const tstring& path);
    ~TextFile();

    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    bool isOpen() const;

    // False at the end of the input; a last line without a line end still counts.
    bool nextLine(std::string& line);

    // True when reading stopped on an error rather than at the end of the input.
    bool failed() const;

private:
    class Reader;
    std::unique_ptr<Reader> reader;
};

// "Error opening "<path>" file: <the C runtime's reason>", for a file that did not open.
std::string fileOpenError(const tstring& path);
// "Failed to read "<path>" file up to the end: <the C runtime's reason>", for a file whose
// reading stopped on an error.
std::string fileReadError(const tstring& path);

#endif
