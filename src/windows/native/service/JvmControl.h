// The running JVM as a native caller reaches it: is it there, and end it as System.exit would.
#ifndef CORVELA_JVMCONTROL_H
#define CORVELA_JVMCONTROL_H

namespace JvmControl {

// True once the runtime loaded in this process has created its JVM.
bool created();

// Calls java.lang.System.exit(status) on a thread attached for it, so that the
// application's shutdown hooks run. In a real runtime the call does not return: the JVM ends
// the process. Returns false, having done nothing, when there is no JVM to ask; raises when
// the runtime refuses the call.
bool requestExit(int status);

} // namespace JvmControl

#endif
