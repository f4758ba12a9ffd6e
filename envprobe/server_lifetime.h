// How long the server process lives: while any object or lock is out, and briefly after.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace envprobe {

// Counts the objects and server locks that clients hold.
//
// The server ends when the count has stayed at zero for a short linger after the last
// release (a client that creates objects one after another then keeps one server), or when
// no client came at all. Once it has decided to end, acquire() refuses: the class factory
// answers CO_E_SERVER_STOPPING rather than create an object in a process about to exit.
class ServerLifetime {
public:
    // One object or lock; gives its count back when destroyed.
    class Reference {
    public:
        Reference(Reference&& other) noexcept;
        Reference& operator=(Reference&& other) noexcept;
        Reference(const Reference&) = delete;
        Reference& operator=(const Reference&) = delete;
        ~Reference();

    private:
        friend class ServerLifetime;
        explicit Reference(ServerLifetime* owner) : owner_(owner) {}
        ServerLifetime* owner_;
    };

    ServerLifetime() = default;
    ServerLifetime(const ServerLifetime&) = delete;
    ServerLifetime& operator=(const ServerLifetime&) = delete;

    // Empty once the server is stopping.
    std::optional<Reference> acquire();

    // Blocks until the server may end: nothing was acquired within firstClientLimit, or the
    // count has been zero for `linger` since the last release. Afterwards acquire() refuses.
    void waitUntilUnused(std::chrono::milliseconds firstClientLimit, std::chrono::milliseconds linger);

    // Ends now if nothing is held (what waitUntilUnused does after its linger).
    bool tryStop();

private:
    void release();

    std::mutex mutex_;
    std::condition_variable changed_;
    long count_ = 0;
    bool used_ = false;
    bool stopping_ = false;
};

}  // namespace envprobe
