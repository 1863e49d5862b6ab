// What a service launcher reads from the configuration before the launch: stop timeout, logs.
#ifndef CORVELA_SERVICESETTINGS_H
#define CORVELA_SERVICESETTINGS_H

#include "tstrings.h"

class AppImage;
class CfgFile;

struct ServiceSettings {
    // Seconds a stop waits for the application to end before the launcher ends it.
    unsigned long stopTimeoutSeconds = 20;
    // Where NAME.out.log and NAME.err.log go.
    tstring logDir;
    // The application's working directory unless app.working-dir names one: the service's
    // own folder beside its default logs, %ProgramData%\VENDOR\NAME\work, never the
    // system directory the manager starts services in. Empty without ProgramData (a
    // service of Wine's first boot of a prefix): the directory stays as it is.
    tstring workDir;
    // A log file rolls before a write would take it past this many bytes...
    unsigned long long logMaxSize = 10ull * 1024 * 1024;
    // ...and this many rolled files (NAME.out.log.1 the newest) stay.
    unsigned long logKeep = 5;

    // From the [Application] section; a value that is not a whole number is an error naming
    // the key and the file's value. Without app.log-dir the logs go to
    // %ProgramData%\VENDOR\NAME\logs (app.vendor; %ProgramData%\NAME\logs without one).
    static ServiceSettings read(const CfgFile& cfg, const AppImage& image);
    // The defaults, with the log directory read as `read` does: where the logs go even when
    // another value of the configuration is wrong.
    static ServiceSettings defaults(const CfgFile& cfg, const AppImage& image);
};

#endif
