// Lock: mutual exclusion for data that the main thread and the restart worker both touch.
#ifndef CORVELA_LOCK_H
#define CORVELA_LOCK_H

// Over the platform's lightest lock (a slim reader/writer lock on Windows), so that no
// threading library is linked in. Constant-initialized: a static one is ready before any
// code runs.
class Lock {
public:
    constexpr Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void acquire();
    void release();

    // Holds the lock for the rest of the scope.
    class [[nodiscard]] Scope {
    public:
        explicit Scope(Lock& lock) : lock(lock) { lock.acquire(); }
        ~Scope() { lock.release(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        Lock& lock;
    };

private:
    void* state = nullptr; // the platform lock's storage
};

#endif
