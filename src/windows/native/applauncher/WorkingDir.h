// The application's working directory: app.working-dir, and a service's own folder by default.
#ifndef CORVELA_WORKINGDIR_H
#define CORVELA_WORKINGDIR_H

#include "tstrings.h"

struct Launch;

namespace WorkingDir {

// Makes `dir` (and the folders above it) when missing and makes it the process's current
// directory, which the JVM and the application's relative paths start from. `origin` names
// where the directory came from, for the error raised when it cannot be made or entered.
void enter(const tstring& dir, const tstring& origin);

// A step of the process that hosts the JVM: with "app.working-dir" in [Application] (macros
// and %VAR% expanded like every value), enters that directory. Without it the current
// directory stays as the launcher found it (a service's is its own folder, see ServiceHost).
void applyConfigured(const Launch& launch);

} // namespace WorkingDir

#endif
