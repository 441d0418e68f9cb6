#include "mb2helper/synclock.h"

#include "device/mobiledevice.h"
#include "services/mobiledevice_afc.h"
#include "services/mobiledevice_notification.h"

#include <QThread>
#include <QtDebug>
#include <stdexcept>
#include <string>

namespace {
constexpr char kLockFile[] = "/com.apple.itunes.lock_sync";
constexpr int kLockTries = 50;
constexpr int kLockRetryMs = 200;
constexpr int kAfcWouldBlock = 19;
} // namespace

void SyncLock::post(const char* name) {
    // The posts only tell the device's own sync to stand back; a failed one is not fatal.
    unsigned int socket = 0;
    try {
        mobiledevice_notification_start(device, socket);
        mobiledevice_notification_post(socket, QString::fromLatin1(name));
    } catch (const std::exception& e) {
        qWarning("mb2helper: posting %s failed: %s", name, e.what());
    }
    if (socket) {
        mobiledevice_closeservice(socket);
    }
}

bool SyncLock::acquire() {
    post("com.apple.itunes-mobdev.syncWillStart");
    mobiledevice_startservice(device, "com.apple.afc", afc);
    handle = mobiledevice_afc_open_file(afc, QString::fromLatin1(kLockFile), AFC_FOPEN_WRONLY);
    post("com.apple.itunes-mobdev.syncLockRequest");
    for (int i = 0; i < kLockTries; ++i) {
        const int status = mobiledevice_afc_file_lock(afc, handle, AFC_LOCK_EX);
        if (status == 0) {
            post("com.apple.itunes-mobdev.syncDidStart");
            return true;
        }
        if (status != kAfcWouldBlock) {
            release();
            throw std::runtime_error("the device refused its sync lock, AFC status " + std::to_string(status));
        }
        QThread::msleep(kLockRetryMs);
    }
    release();
    return false;
}

void SyncLock::release() {
    if (!afc) {
        return;
    }
    try {
        if (handle) {
            mobiledevice_afc_file_lock(afc, handle, AFC_LOCK_UN);
            mobiledevice_afc_close_file(afc, handle);
        }
    } catch (const std::exception& e) {
        qWarning("mb2helper: releasing the sync lock failed: %s", e.what());
    }
    const bool held = handle != 0;
    handle = 0;
    mobiledevice_closeservice(afc);
    afc = 0;
    if (held) {
        post("com.apple.itunes-mobdev.syncDidFinish");
    }
}
