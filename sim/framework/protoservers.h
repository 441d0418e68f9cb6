#pragma once

// The device side of the DeviceLink services (mobilebackup2, mobilesync), the
// file relay and the notification proxy.
//
// Every framed message these services receive is appended, length prefix
// included, to the file named by VEXLAR_SIM_CAPTURE when that is set, so that
// tests can read the client's bytes with an independent decoder.

#include "sim/framework/simservices.h"

#include <functional>

namespace sim {

void serveMobileBackup2(ServiceConnection& conn);
void serveMobileSync(ServiceConnection& conn);
void serveFileRelay(ServiceConnection& conn);
void serveNotificationProxy(ServiceConnection& conn);

// Relays a notification the device itself posts to its observers.
void postDeviceNotification(const QString& deviceDir, const std::string& name);

// One received frame: its plist (null at end of stream or on a bad frame),
// captured as described above.
Plist recvCapturedFrame(ServiceConnection& conn, bool* wasBinary = nullptr);

// Sim.Faults.ReplaceReply.<key> of the device, copied; null when not set. A
// test puts a hostile answer there that the service sends instead of its own.
Plist replacedReply(const QString& deviceDir, const char* key);

// Read-modify-write of device.plist under the device lock; false when it failed.
bool editDevicePlist(const QString& deviceDir, const std::function<void(plist_t)>& edit);

} // namespace sim
