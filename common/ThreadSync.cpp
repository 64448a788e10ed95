#include "ThreadSync.h"

ThreadSyncObject::ThreadSyncObject() : lock_(plat::lockCreate()) {}

ThreadSyncObject::~ThreadSyncObject() {
    plat::lockDestroy(lock_);
}

void ThreadSyncObject::lock() {
    plat::lockEnter(lock_);
}

void ThreadSyncObject::unlock() {
    if (plat::lockOwnedByCaller(lock_)) {
        plat::lockLeave(lock_);
    }
}

bool ThreadSyncObject::ownedByCaller() {
    return plat::lockOwnedByCaller(lock_);
}
