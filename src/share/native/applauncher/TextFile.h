#ifndef CORVELA_TEXTFILE_H
#define CORVELA_TEXTFILE_H

#include <cstdio>
#include <memory>
#include <string>

#include "tstrings.h"

// The configuration and package files are read alike: in the C runtime's text mode, where
// CR LF reads as LF and a Ctrl-Z byte ends the input.

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
typedef std::unique_ptr<FILE, FileCloser> UniqueFile;

// Null when the file cannot be opened; errno then tells why.
UniqueFile openTextFile(const tstring& path);

// "Error opening "<path>" file: <the C runtime's reason>", for a failed openTextFile.
std::string fileOpenError(const tstring& path);

// Hands out the lines of a text file as UTF-8 bytes without their line end. One leading
// UTF-8 byte-order mark is skipped: editors such as Notepad write one, and it must neither
// hide the first line's meaning nor become part of a name.
class TextLineReader {
public:
    explicit TextLineReader(FILE* file) : file(file) {}

    TextLineReader(const TextLineReader&) = delete;
    TextLineReader& operator=(const TextLineReader&) = delete;

    // False at the end of the input; a last line without a line end still counts.
    bool next(std::string& line);

    // True when reading stopped on an error rather than at the end of the input.
    bool failed() const { return ferror(file) != 0; }

private:
    bool fill();

    FILE* file;
    char buffer[16384];
    size_t position = 0;
    size_t count = 0;
    bool atStart = true;
};

#endif
