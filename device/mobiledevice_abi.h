#pragma once

// The device framework's C interface, as the program looks it up by name.
//
// On this platform the framework's property-list values are libplist nodes
// (plist_t, passed as void*):
// - arguments (domain, key, service name, value) are borrowed: the framework
//   copies what it keeps;
// - results of the Copy functions are owned by the caller, who frees them with
//   plist_free();
// - a null domain or key means "none".
// Result codes: 0 is success; failures are negative (like the real framework's
// 0xe800xxxx codes read as signed 32-bit).

#include <cstdint>

extern "C" {

struct am_device; // opaque; valid from the connected to the disconnected notification

struct am_device_notification_callback_info {
    am_device* dev;
    unsigned int msg; // 1 connected, 2 disconnected
    void* subscription;
};

typedef void (*am_device_notification_callback)(am_device_notification_callback_info* info, void* context);

enum : unsigned int {
    ADNCI_MSG_CONNECTED = 1,
    ADNCI_MSG_DISCONNECTED = 2,
};

// "Password protected": the device is locked (lockdown's PasswordProtected, and
// its EscrowLocked: locked since it started, so the escrow bag cannot open it).
inline constexpr int kAMDPasswordProtectedError = static_cast<int>(0xe800006bu);
// The host's pair record holds no escrow bag, which a locked device needs for a
// backup; the record was dropped, so that the next session pairs again and gets one.
inline constexpr int kAMDMissingEscrowBagError = static_cast<int>(0xe80000b1u);

typedef int (*AMDeviceNotificationSubscribe_t)(am_device_notification_callback callback, unsigned int unused0,
                                               unsigned int unused1, void* context, void** subscription);
typedef void* (*AMDeviceCopyDeviceIdentifier_t)(am_device* device);
typedef int (*AMDeviceConnect_t)(am_device* device);
typedef int (*AMDeviceIsPaired_t)(am_device* device);
typedef int (*AMDevicePair_t)(am_device* device);
typedef int (*AMDeviceValidatePairing_t)(am_device* device);
typedef int (*AMDeviceStartSession_t)(am_device* device);
typedef int (*AMDeviceStopSession_t)(am_device* device);
typedef int (*AMDeviceDisconnect_t)(am_device* device);
typedef void* (*AMDeviceCopyValue_t)(am_device* device, void* domain, void* key);
typedef int (*AMDeviceSetValue_t)(am_device* device, void* domain, void* key, void* value);
typedef int (*AMDeviceStartService_t)(am_device* device, void* serviceName, unsigned int* socketOut, void* unused);

} // extern "C"
