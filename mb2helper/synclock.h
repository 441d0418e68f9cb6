#pragma once

// The device's sync lock, held for the whole of a backup so that no other
// host (or the device's own sync) works on the data at the same time: the
// notifications a device expects around a sync, and an exclusive lock on
// the AFC lock file.

#include "device/mobiledevice_abi.h"

class SyncLock {
public:
    explicit SyncLock(am_device* device) : device(device) {}
    ~SyncLock() { release(); }
    SyncLock(const SyncLock&) = delete;
    SyncLock& operator=(const SyncLock&) = delete;

    // False when another host keeps the lock; throws std::runtime_error when
    // the device's file service fails.
    bool acquire();
    // Never throws; safe to call twice.
    void release();

private:
    void post(const char* name);

    am_device* device;
    unsigned int afc = 0;
    unsigned long long handle = 0;
};
