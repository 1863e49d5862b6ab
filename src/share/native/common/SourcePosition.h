// Source positions: file, function and line of a log statement or a raise.
#ifndef CORVELA_SOURCEPOSITION_H
#define CORVELA_SOURCEPOSITION_H

#include <string>

#include "tstrings.h"

// Records and error messages name functions as `Jvm::launch` or `app::launch`: namespaces and
// class, no return type, no parameters. MSVC's __FUNCTION__ already reads that way; GCC and
// Clang only offer the full signature, which is cut down once per function and then cached.
#if defined(_MSC_VER)
#define CV_FUNCTION_SIGNATURE __FUNCTION__
#else
#define CV_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

#define CV_WIDEN_LITERAL(s) L"" s

struct SourcePosition {
    const char* file;
    const char* function;
    int line;
};

struct QualifiedFunctionName {
    std::string narrow;
    tstring wide;
};

// The qualified name inside a compiler's function signature (see the comment above).
std::string qualifiedFunctionName(const std::string& signature);

// Cached per signature text; the returned reference lives for the whole process.
const QualifiedFunctionName& functionNameOf(const char* signature);

#define SOURCE_POSITION                                                                            \
    (::SourcePosition{__FILE__, ::functionNameOf(CV_FUNCTION_SIGNATURE).narrow.c_str(), __LINE__})

#define CV_FUNCTION_NAME_W (::functionNameOf(CV_FUNCTION_SIGNATURE).wide)

#endif
