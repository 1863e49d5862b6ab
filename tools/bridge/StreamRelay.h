// Live copies between the bridge's standard streams and the host Java's connections.
#ifndef CORVELA_BRIDGE_STREAMRELAY_H
#define CORVELA_BRIDGE_STREAMRELAY_H

#include <winsock2.h>

#include <memory>

#include "WindowsSupport.h"

namespace bridge {

// Whether two standard handles lead to one place (one console, one pipe or one file), as
// "2>&1" makes them: the program's two streams must then share one channel, or what it
// wrote to each would be reordered on the way.
bool sameDestination(HANDLE a, HANDLE b);

// Copies what the host program writes on `from` to `to` as it arrives, until the program's
// side ends. Without a usable `to` the bytes are read and dropped, so the program never
// blocks on a full channel.
class OutputRelay {
public:
    OutputRelay(SOCKET from, HANDLE to);
    ~OutputRelay();
    OutputRelay(const OutputRelay&) = delete;
    OutputRelay& operator=(const OutputRelay&) = delete;

    // Waits until everything is copied; after `timeoutMs` (a process the program started
    // may hold its end open) the connection is cut. A copy stuck in a write that no reader
    // takes is left behind after a while: it owns what it uses.
    void finish(DWORD timeoutMs);

private:
    struct Copy;
    static DWORD WINAPI run(LPVOID copy);

    std::shared_ptr<Copy> copy;
    UniqueHandle thread;
};

// Copies standard input to the host program as it arrives and ends the program's input
// when it ends. The thread owns the connection and is left running when the program ends
// first: a read from a console or a pipe cannot be taken back.
void startInputRelay(HANDLE from, SOCKET to);

} // namespace bridge

#endif
