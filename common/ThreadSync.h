// Recursive lock whose unlock is a no-op for any thread but its owner, and its scoped guard.
#pragma once

#include "platform.h"

class ThreadSyncObject {
public:
    ThreadSyncObject();
    virtual ~ThreadSyncObject();
    ThreadSyncObject(const ThreadSyncObject&) = delete;
    ThreadSyncObject& operator=(const ThreadSyncObject&) = delete;

    void lock();
    // Leaves the lock only when the calling thread owns it; otherwise does nothing.
    void unlock();
    bool ownedByCaller();

private:
    plat::Lock* lock_;
};

class ThreadSyncGuard {
public:
    explicit ThreadSyncGuard(ThreadSyncObject* object) : object_(object) { object_->lock(); }
    ~ThreadSyncGuard() { object_->unlock(); }
    ThreadSyncGuard(const ThreadSyncGuard&) = delete;
    ThreadSyncGuard& operator=(const ThreadSyncGuard&) = delete;

private:
    ThreadSyncObject* object_;
};
