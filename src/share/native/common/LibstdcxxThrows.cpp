// libstdc++'s throw helpers, built into the launchers: its checks raise errors of our own types.
//
// The library's own helpers raise std::length_error, std::out_of_range and the like, whose
// reference-counted message strings bring libstdc++'s whole copy-on-write std::string (and
// what it drags along, about 50 KB) into every launcher. Each check stays as it is, and its
// failure keeps its place in the hierarchy the launcher's barriers tell apart: a logic error
// (a broken launcher) is none of the launcher's own errors, as before; a runtime error is a
// LauncherError, as std::runtime_error was. Both carry the library's message. Only the
// launchers link this file. Every helper of the library's object that holds them is defined
// here, so that object is never linked; one missing would bring it back and stop the link
// with a duplicate definition.
#include <cstdarg>
#include <exception>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>

#include "ErrorHandling.h"

namespace {

// The library formats only %s and %zu into its range messages.
std::string formatRangeMessage(const char* format, va_list args) {
    std::string message;
    for (const char* at = format; *at; ++at) {
        if (at[0] == '%' && at[1] == 's') {
            message += va_arg(args, const char*);
            ++at;
        } else if (at[0] == '%' && at[1] == 'z' && at[2] == 'u') {
            message += std::to_string(va_arg(args, size_t));
            at += 2;
        } else {
            message += *at;
        }
    }
    return message;
}

// What std::logic_error was: an error in the launcher itself, not one it reports as its own.
class LogicError : public std::exception {
public:
    explicit LogicError(std::string message) : message(std::move(message)) {}

    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

[[noreturn]] void raiseLogicError(const char* message) {
    throw LogicError(message ? message : "");
}

[[noreturn]] void raiseLauncherError(const char* message) {
    throw LauncherError(message ? message : "");
}

} // namespace

namespace std {

void __throw_bad_exception() {
    throw bad_exception();
}
void __throw_bad_alloc() {
    throw bad_alloc();
}
void __throw_bad_array_new_length() {
    throw bad_array_new_length();
}
void __throw_bad_cast() {
    throw bad_cast();
}
void __throw_bad_typeid() {
    throw bad_typeid();
}

void __throw_logic_error(const char* message) {
    raiseLogicError(message);
}
void __throw_domain_error(const char* message) {
    raiseLogicError(message);
}
void __throw_invalid_argument(const char* message) {
    raiseLogicError(message);
}
void __throw_length_error(const char* message) {
    raiseLogicError(message);
}
void __throw_out_of_range(const char* message) {
    raiseLogicError(message);
}
void __throw_out_of_range_fmt(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = formatRangeMessage(format, args);
    va_end(args);
    throw LogicError(std::move(message));
}
void __throw_runtime_error(const char* message) {
    raiseLauncherError(message);
}
void __throw_range_error(const char* message) {
    raiseLauncherError(message);
}
void __throw_overflow_error(const char* message) {
    raiseLauncherError(message);
}
void __throw_underflow_error(const char* message) {
    raiseLauncherError(message);
}

} // namespace std
