// CStateStore: the run-state events.
#include "control/state_store.h"

#include <atomic>

namespace {
std::atomic<CStateStore*> theStateStore{nullptr};
}

CStateStore::CStateStore()
    : stopRequested_(platform::EventReset::Manual, false),
      halted_(platform::EventReset::Manual, false) {}

void setStateStore(CStateStore* store) { theStateStore.store(store); }
CStateStore* stateStore() { return theStateStore.load(); }
