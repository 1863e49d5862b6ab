// Small tools for every layer: the scope guard.
#ifndef CORVELA_TOOLBOX_H
#define CORVELA_TOOLBOX_H

#include <utility>

#include "ErrorHandling.h"

// Runs its callable when the scope ends; a failure of the callable is logged, never
// thrown out of the destructor. A guard that is not kept in a variable would run at once.
template <class Callable> class [[nodiscard]] AtEndOfScope {
public:
    explicit AtEndOfScope(Callable callable) : callable(std::move(callable)) {}
    ~AtEndOfScope() {
        try {
            callable();
        }
        CATCH_AND_LOG
    }

    AtEndOfScope(const AtEndOfScope&) = delete;
    AtEndOfScope& operator=(const AtEndOfScope&) = delete;

private:
    Callable callable;
};

template <class Callable> [[nodiscard]] AtEndOfScope<Callable> atEndOfScope(Callable callable) {
    return AtEndOfScope<Callable>(std::move(callable));
}

#endif
