// Stopping a service before an installer touches its files: asked to stop, waited for until
// its process has ended.
#ifndef CORVELA_SERVICESTOP_H
#define CORVELA_SERVICESTOP_H

#include "tstrings.h"

namespace ServiceStop {

// Returns once the service `name` is gone or stopped with its process ended: asked to stop
// when it runs, then waited for while it reports progress. Raises when it is not stopped
// within what it promised (its wait hint, from its last progress, plus a margin), or when the
// service manager cannot be asked.
void stopAndWait(const tstring& name);

} // namespace ServiceStop

#endif
