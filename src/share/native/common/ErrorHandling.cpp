// Error model, neutral half: positioned messages, joined texts, error records.
#include "ErrorHandling.h"

#include "FileUtils.h"
#include "Log.h"

namespace {

// Only ASCII white space: bytes of multi-byte UTF-8 sequences are never white space.
bool isBlank(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x80 && (u == ' ' || (u >= '\t' && u <= '\r'));
}

std::string baseName(const char* path) {
    const std::string text = path ? path : "";
    const size_t pos = text.find_last_of("\\/");
    return pos == std::string::npos ? text : text.substr(pos + 1);
}

// Error texts are UTF-8, ours always; one from elsewhere that is not keeps its bytes, each
// as the code unit of the same value, rather than vanish.
tstring errorTextToWide(const char* text) {
    const std::string bytes = text ? text : "";
    const tstring decoded = tstrings::fromUtf8(bytes);
    if (!decoded.empty() || bytes.empty()) {
        return decoded;
    }
    tstring widened;
    for (const char c : bytes) {
        widened.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return widened;
}

} // namespace

std::string makePositionedMessage(const SourcePosition& pos, const char* message) {
    return baseName(pos.file) + "(" + std::to_string(pos.line) + ") at " +
           (pos.function ? pos.function : "") + "(): " + (message ? message : "");
}

std::string joinMessages(const std::string& a, const std::string& b) {
    size_t aEnd = a.size();
    while (aEnd > 0 && isBlank(a[aEnd - 1])) {
        --aEnd;
    }
    size_t bStart = 0;
    size_t bEnd = b.size();
    while (bStart < bEnd && isBlank(b[bStart])) {
        ++bStart;
    }
    while (bEnd > bStart && isBlank(b[bEnd - 1])) {
        --bEnd;
    }
    const std::string first = a.substr(0, aEnd);
    const std::string second = b.substr(bStart, bEnd - bStart);
    if (first.empty()) {
        return second;
    }
    if (second.empty()) {
        return first;
    }
    const bool punctuated = std::string(";.,:!?").find(first.back()) != std::string::npos;
    return first + (punctuated ? " " : ". ") + second;
}

void logErrorMessage(const SourcePosition& pos, const tstring& message) {
    // The barrier of every destructor and of the frame reports through here: an appender
    // that fails now, often while an error unwinds, has nothing left to report to, and
    // letting its failure out would end the process without a word.
    try {
        Logger::instance().log(LogLevel::ERROR, tstrings::fromUtf8(baseName(pos.file)), pos.line,
                               tstrings::fromUtf8(pos.function ? pos.function : ""), message);
    } catch (...) {
    }
}

void logException(const SourcePosition& pos, const LauncherError& e) {
    try {
        logErrorMessage(pos, (tstrings::Builder() << "Exception with message '"
                                                  << errorTextToWide(e.what()) << "' caught")
                                 .tstr());
    } catch (...) {
    }
}

void logUnknownException(const SourcePosition& pos) {
    try {
        logErrorMessage(pos, L"Unknown exception caught");
    } catch (...) {
    }
}
