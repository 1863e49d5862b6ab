// Windows half of Lock.h: a slim reader/writer lock, taken exclusively.
#include <windows.h>

#include "Lock.h"

static_assert(sizeof(SRWLOCK) == sizeof(void*), "a slim reader/writer lock is one pointer");

void Lock::acquire() {
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state));
}

void Lock::release() {
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state));
}
