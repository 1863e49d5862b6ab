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

#endif
