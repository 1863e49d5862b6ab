// The user's own folder of an image: where its logs, class-data archives and instance files go.
#ifndef CORVELA_USERFOLDER_H
#define CORVELA_USERFOLDER_H

#include "tstrings.h"

namespace UserFolder {

// %LOCALAPPDATA%\<owner>\<folder> (or %LOCALAPPDATA%\<owner> without a folder); empty when
// LOCALAPPDATA is not set. Then the image has no folder of the user's: each step that would
// keep a file there does without it and says so in the trace, with `unsetReason`.
tstring local(const tstring& owner, const tstring& folder = tstring());

// %APPDATA%\<owner>; empty when APPDATA is not set.
tstring roaming(const tstring& owner);

// Why there is no user folder.
extern const char* const unsetReason;

} // namespace UserFolder

#endif
