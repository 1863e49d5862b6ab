// Staged updates at start: a complete staged version replaces the image's changed files
// (the previous ones kept), and a version that never reported a good start is rolled back.
#ifndef CORVELA_STAGEDUPDATE_H
#define CORVELA_STAGEDUPDATE_H

class AppImage;
class CfgFile;

namespace StagedUpdate {

// A step of the process the user started, before any child. Without "app.update-key" in
// `cfg` it does nothing at all; with it, one file check when nothing is staged. True when
// the image's files changed: the configuration must then be read again. Whatever goes wrong
// (a feed or file that does not check out, a file in use, a full disk) leaves the image as
// one whole version, old or new, says why in the trace, and the launch goes on with the
// image as it is.
bool applyAtStart(const AppImage& image, const CfgFile& cfg);

} // namespace StagedUpdate

#endif
