// Error model: the launcher's errors, THROW_ERROR, and the CATCH_AND_LOG barrier.
#ifndef CORVELA_ERRORHANDLING_H
#define CORVELA_ERRORHANDLING_H

#include <exception>
#include <string>
#include <utility>

#include "SourcePosition.h"
#include "tstrings.h"

// The launcher's own error, its message in UTF-8. Not std::runtime_error: libstdc++ keeps that
// one's message in a reference-counted string whose implementation, a second std::string in
// full, would come along into every launcher.
class LauncherError : public std::exception {
public:
    explicit LauncherError(std::string message) : message(std::move(message)) {}

    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

// Deliberately without a virtual destructor: errors are destroyed through their
// standard exception type.
class CvErrorBase {
public:
    virtual const char* bareMessage() const = 0;

protected:
    CvErrorBase() = default;
    CvErrorBase(const CvErrorBase&) = default;
    CvErrorBase& operator=(const CvErrorBase&) = default;
    ~CvErrorBase() = default;
};

std::string makePositionedMessage(const SourcePosition& pos, const char* message);

template <class T> class CvError : public CvErrorBase, public T {
public:
    CvError(const T& e, const SourcePosition& pos)
        : T(e), positionedMessage(makePositionedMessage(pos, e.what())) {}

    const char* bareMessage() const override { return T::what(); }
    const char* what() const noexcept override { return positionedMessage.c_str(); }

private:
    std::string positionedMessage;
};

class SysError : public LauncherError {
public:
    // `code` is the thread's last error after the failed call, `function` the address of
    // the system function.
    SysError(const tstrings::Builder& message, const void* function, unsigned long code);
};

template <class T> CvError<T> makeCvError(const T& e, const SourcePosition& pos) {
    return CvError<T>(e, pos);
}

#define THROW_ERROR(e) throw ::makeCvError((e), SOURCE_POSITION)

std::string joinMessages(const std::string& a, const std::string& b);

std::string crtErrorText();

void logErrorMessage(const SourcePosition& pos, const tstring& message);
void logException(const SourcePosition& pos, const LauncherError& e);
void logUnknownException(const SourcePosition& pos);

#define CATCH_AND_LOG                                                                              \
    catch (const LauncherError& cvCaughtError) {                                                   \
        ::logException(SOURCE_POSITION, cvCaughtError);                                            \
    }                                                                                              \
    catch (...) {                                                                                  \
        ::logUnknownException(SOURCE_POSITION);                                                    \
    }

#endif
