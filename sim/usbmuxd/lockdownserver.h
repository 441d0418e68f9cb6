#pragma once

// The device's lockdown service as a simulated phone answers it over a usbmuxd
// connection to port 62078, and the services it starts.

#include "sim/framework/simservices.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace sim {

constexpr uint16_t kLockdownPort = 62078;

// One plugged-in device as the multiplexer sees it.
struct MuxDevice {
    uint32_t id = 0;
    QString udid;
    QString dir;
    int64_t unplugs = 0; // Sim.Unplugs when it was seen coming
    std::shared_ptr<std::atomic<bool>> present = std::make_shared<std::atomic<bool>>(true);
};

// A service lockdown started and whose port the host has not connected to yet.
struct PendingService {
    std::string name;
    ServiceSetup setup;
    bool ssl = false;
    std::string certPem; // the device's certificate for this host, when ssl
    std::string keyPem;  // the device's private key, when ssl
};

// Registers a started service under a fresh port of the device; the port.
uint16_t addPendingService(uint32_t deviceId, PendingService service);
// Takes the service registered under the port; false when there is none.
bool takePendingService(uint32_t deviceId, uint16_t port, PendingService* out);

// Sim.TrustAccepted, the user's answer to the trust dialog: "accepted" (also
// true or absent), "denied" (also false), or "pending" while the dialog is up.
// Pair answers the last two with lockdown's errors "UserDeniedPairing" and
// "PairingDialogResponsePending" (libimobiledevice's lockdown.c error table;
// its tracker's "Could not connect to lockdownd: Pairing dialog response
// pending (-19)" shows a phone with the dialog up). Not confirmed: that a phone
// asked to Pair again while the dialog is up answers pending every time.
std::string trustAnswer(plist_t devicePlist);

// Serves lockdown on fd (taken over) until the host hangs up or the device is unplugged.
void serveLockdown(int fd, const MuxDevice& device);
// Serves a started service on fd (taken over) on a thread of its own.
void serveStartedService(int fd, PendingService service);

} // namespace sim
