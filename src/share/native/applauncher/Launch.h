// One launch as its steps see it: the image, its configuration, and the Jvm they add to.
#ifndef CORVELA_LAUNCH_H
#define CORVELA_LAUNCH_H

class AppImage;
class CfgFile;
class Jvm;

// Handed to every step that runs in the process that hosts the JVM, after the configuration
// is read and before the runtime loads. A step reads the image and the configuration, adds
// its options to the Jvm (Jvm::addOption), or raises to fail the launch.
struct Launch {
    const AppImage& image;
    const CfgFile& cfg;
    Jvm& jvm;
};

#endif
