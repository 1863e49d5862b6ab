// An image's logs for its user: the launcher log's directory and the JVM's fatal error log.
#ifndef CORVELA_USERLOGS_H
#define CORVELA_USERLOGS_H

class AppImage;
struct Launch;

// Tells the launcher log where this image's logs go, as soon as the image is known:
// %LOCALAPPDATA%\<package, or launcher name without one>\logs. Only an installed image (one
// with a package) keeps its error records there.
void placeLauncherLog(const AppImage& image);

// An installed image's JVM writes its fatal error log (hs_err_pid<pid>.log) to the logs
// directory rather than to the current directory, which is often not writable, unless the
// configuration says where. A directory that cannot be made costs only a trace line.
void addJvmErrorFile(const Launch& launch);

#endif
