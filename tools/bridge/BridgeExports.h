// What the bridge's jli.dll offers its jvm.dll: whether a host program runs, and its end.
#ifndef CORVELA_BRIDGE_BRIDGEEXPORTS_H
#define CORVELA_BRIDGE_BRIDGEEXPORTS_H

// Non-zero while the host's Java program runs.
typedef int(__cdecl* BridgeRunningFn)();
#define BRIDGE_RUNNING_NAME "CorvelaBridgeRunning"

// Ends the running program as System.exit(status) would: its shutdown hooks run, and the
// launch ends with `status`. Returns once the program has ended, with 1; at once with 0 when
// none ran; with -1 when it had not ended within BRIDGE_EXIT_LIMIT_MS.
typedef int(__cdecl* BridgeExitFn)(int status);
#define BRIDGE_EXIT_LIMIT_MS 30000
#define BRIDGE_EXIT_NAME "CorvelaBridgeExit"

#endif
