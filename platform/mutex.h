// Mutex: a re-entrant lock; the thread that holds it may take it again.
#pragma once

namespace platform {

class Mutex {
public:
    Mutex();  // created unowned
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    bool valid() const { return handle_ != nullptr; }
    // Waits without a time limit. Every lock() needs one unlock() by the same thread.
    void lock();
    void unlock();

private:
    void* handle_ = nullptr;
};

class MutexLock {
public:
    explicit MutexLock(Mutex& m) : m_(m) { m_.lock(); }
    ~MutexLock() { m_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_;
};

}  // namespace platform
