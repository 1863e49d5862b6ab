// Assertions on the errors the launcher raises.
#ifndef CORVELA_RAISES_H
#define CORVELA_RAISES_H

#include <gtest/gtest.h>

#include <string>

#include "ErrorHandling.h"
#include "StartsWith.h"

namespace testing_support {

// The message, without its source position, of the error of type `Error` that `call`
// raises; "<no error>" when it raises none. An error of another type passes through and
// fails the test.
template <class Error = CvErrorBase, class Call> std::string raisedMessage(Call call) {
    try {
        call();
    } catch (const Error& e) {
        return e.bareMessage();
    }
    return "<no error>";
}

// `call` raises an error of type `Error` whose message starts with `prefix`.
template <class Error = CvErrorBase, class Call>
::testing::AssertionResult raisesErrorStartingWith(Call call, const std::string& prefix) {
    return StartsWith(raisedMessage<Error>(call), prefix);
}

} // namespace testing_support

#endif
