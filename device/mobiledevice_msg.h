#pragma once

// Framing of property-list service messages: a 4-byte big-endian payload
// length, then one property list (XML or binary, detected on receipt).
//
// Time-outs are in milliseconds and bound each wait for socket readiness; a
// value below 1 waits without limit. The raw loops never throw: they return
// the count transferred, which is short after a time-out, an error or the
// peer closing.

#include "device/cftype.h"

// Largest payload accepted from a peer: far above any service message, low
// enough that a hostile length cannot make us allocate without bound.
inline constexpr int kMobileDeviceMaxMessageLength = 64 * 1024 * 1024;

// Waiting for the length prefix is bounded by this, whatever the caller's time-out.
inline constexpr int kMobileDeviceLengthTimeout = 60000;

int mobiledevice_send_all(unsigned int socket, char const* data, int length, int timeout);
int mobiledevice_recv_all(unsigned int socket, char* buffer, int length, int timeout);

// Sends one framed message (binary when `binary`, else XML); a message that
// serialises to nothing sends nothing. Throws std::runtime_error.
void mobiledevice_sendmsg(unsigned int socket, CFType message, bool binary, int timeout);

// Receives one framed message; null when the payload does not parse or is
// empty. `lastSent` only enriches the error text. Throws std::runtime_error.
CFType mobiledevice_recmsg(unsigned int socket, CFType lastSent, int timeout);
