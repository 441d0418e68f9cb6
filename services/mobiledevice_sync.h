#pragma once

// mobilesync ("com.apple.mobilesync"): reads, replaces and clears the records
// of one data class over DeviceLink, and the lockdown switch for tethered sync
// of a data class. Functions throw std::runtime_error; the caller closes the
// socket.

#include "device/cftype.h"
#include "device/mobiledevice_abi.h"

#include <QList>
#include <QString>

struct _mobiledevice_sync_ctx {
    QString dataClass;
    QString deviceAnchor;
    QString computerAnchor;

    _mobiledevice_sync_ctx(QString dataClass, QString deviceAnchor, QString computerAnchor)
        : dataClass(std::move(dataClass)), deviceAnchor(std::move(deviceAnchor)),
          computerAnchor(std::move(computerAnchor)) {}
};

inline constexpr int kSyncFinishTimeout = 3600000;

// Starts the service, runs the version exchange and opens the data class;
// with `ping`, then tells the device that changes are being prepared.
void mobiledevice_sync_start(am_device* device, _mobiledevice_sync_ctx const& ctx, unsigned int& socket, bool ping);

// Every record batch the device sends (each a dictionary of records by
// identifier), each acknowledged, until the device is ready for changes.
QList<CFType> mobiledevice_sync_records(unsigned int socket, _mobiledevice_sync_ctx const& ctx);

// Sends changed records with their actions; returns the device's remapping of
// record identifiers.
CFType mobiledevice_sync_send(unsigned int socket, CFType records, _mobiledevice_sync_ctx const& ctx, CFType actions);

void mobiledevice_sync_send_finish(unsigned int socket, _mobiledevice_sync_ctx const& ctx);
void mobiledevice_sync_clear(unsigned int socket, _mobiledevice_sync_ctx const& ctx);

// Writes { "DisableTethered" = disable } for the data class in the
// "com.apple.mobile.tethered_sync" domain; the write's result code.
int mobiledevice_sync_set_tethered(am_device* device, QString dataClass, bool disable);
