// Single running instance: the first start of an exe per user and session hosts the application;
// later starts hand it their request.
#ifndef CORVELA_SINGLEINSTANCE_H
#define CORVELA_SINGLEINSTANCE_H

class AppImage;
class CfgFile;
struct Launch;

namespace SingleInstance {

// A step of the process the user started, before any restart. With "app.single-instance=true"
// and a running instance that listens already, hands it this start's request and returns true:
// the launch ends there with 0, since a restart would only have its child do the same, at the
// cost of a process. Otherwise it does nothing and returns false, and `join` decides.
bool handOverIfListening(const AppImage& image, const CfgFile& cfg);

// A step of the process that hosts the JVM. Without "app.single-instance=true" it does
// nothing at all. With it, the first such process of this exe, user and session becomes the
// running instance: it holds the instance until it ends and tells the JVM where to publish
// its listener. Any later one hands its arguments and current directory to the running
// instance and returns true: the launch ends there with 0, the runtime never loaded. When the
// running instance refuses the request (its application registered for none in time), or
// refused it already to the process that restarted this one, this process returns false and
// runs as an instance of its own, holding and publishing nothing.
bool join(const Launch& launch);

// A step of the running instance: has the runtime start the listener before the
// application's main method, where the library is on the class path. Left out of a start
// that makes a class-data archive, which the runtime refuses beside an agent; the listener
// of that start begins when the application first asks for requests.
void listenBeforeMain(const Launch& launch);
// A step of the running instance, after every step whose options a cache may depend on: tells
// the JVM the id of the process it runs in, which differs from one start to the next.
void nameHost(const Launch& launch);

} // namespace SingleInstance

#endif
