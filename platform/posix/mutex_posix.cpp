// The re-entrant mutex on POSIX.
#include "platform/mutex.h"

#include <mutex>

namespace platform {

namespace {
std::recursive_mutex* native(void* h) { return static_cast<std::recursive_mutex*>(h); }
}  // namespace

Mutex::Mutex() : handle_(new std::recursive_mutex) {}
Mutex::~Mutex() { delete native(handle_); }
void Mutex::lock() { native(handle_)->lock(); }
void Mutex::unlock() { native(handle_)->unlock(); }

}  // namespace platform
