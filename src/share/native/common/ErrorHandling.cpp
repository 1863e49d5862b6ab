#include "ErrorHandling.h"

#include <sstream>

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

} // namespace

std::string makePositionedMessage(const SourcePosition& pos, const char* message) {
    std::ostringstream out;
    out << baseName(pos.file) << "(" << pos.line << ") at " << pos.function << "(): " << message;
    return out.str();
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
    Logger::instance().log(LogLevel::ERROR, tstrings::fromUtf8(baseName(pos.file)), pos.line,
                           tstrings::fromUtf8(pos.function ? pos.function : ""), message);
}

void logException(const SourcePosition& pos, const std::runtime_error& e) {
    logErrorMessage(
        pos, (tstrings::Builder() << "Exception with message '" << e.what() << "' caught").tstr());
}

void logUnknownException(const SourcePosition& pos) {
    logErrorMessage(pos, L"Unknown exception caught");
}
