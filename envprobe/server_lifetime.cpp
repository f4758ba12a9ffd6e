// The server's object and lock count, and the wait for the end of its use.
#include "envprobe/server_lifetime.h"

#include <utility>

namespace envprobe {

ServerLifetime::Reference::Reference(Reference&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)) {}

ServerLifetime::Reference& ServerLifetime::Reference::operator=(Reference&& other) noexcept {
    if (this != &other) {
        if (owner_) owner_->release();
        owner_ = std::exchange(other.owner_, nullptr);
    }
    return *this;
}

ServerLifetime::Reference::~Reference() {
    if (owner_) owner_->release();
}

std::optional<ServerLifetime::Reference> ServerLifetime::acquire() {
    std::lock_guard lock(mutex_);
    if (stopping_) return std::nullopt;
    ++count_;
    used_ = true;
    changed_.notify_all();
    return Reference(this);
}

void ServerLifetime::release() {
    std::lock_guard lock(mutex_);
    if (--count_ == 0) changed_.notify_all();
}

bool ServerLifetime::tryStop() {
    std::lock_guard lock(mutex_);
    if (count_ == 0) stopping_ = true;
    return stopping_;
}

void ServerLifetime::waitUntilUnused(std::chrono::milliseconds firstClientLimit,
                                     std::chrono::milliseconds linger) {
    std::unique_lock lock(mutex_);
    if (changed_.wait_for(lock, firstClientLimit, [this] { return used_; })) {
        for (;;) {
            changed_.wait(lock, [this] { return count_ == 0; });
            // A client that comes back within the linger keeps this server.
            if (!changed_.wait_for(lock, linger, [this] { return count_ > 0; })) break;
        }
    }
    stopping_ = true;
}

}  // namespace envprobe
