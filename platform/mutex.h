// Mutex: a re-entrant lock; the thread that holds it may take it again.
#pragma once

namespace platform {

class Mutex {
public:
    Mutex();  // created unowned; a mutex that cannot be made ends the process
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

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
