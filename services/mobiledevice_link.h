#pragma once

// DeviceLink: the message layer of the backup ("com.apple.mobilebackup2") and
// sync ("com.apple.mobilesync") services on top of the framed property lists
// of mobiledevice_msg.h. Every message is an array whose first element names
// its kind ("DLMessageProcessMessage", ...). All functions throw
// std::runtime_error; the socket is then out of step and the caller closes it.

#include "device/cftype.h"

#include <QString>

// Stands for an empty text or a missing value in DeviceLink arrays.
inline constexpr char kDeviceLinkEmptyParameter[] = "___EmptyParameterString___";
// Sent back in the version exchange when the device's offer carries no usable
// major version; current devices offer and require this one.
inline constexpr int kDeviceLinkMajorVersion = 400;
inline constexpr int kDeviceLinkTimeout = 60000;

// The handshake right after the service is started: either the device is ready
// at once, or it offers its versions, gets "DLVersionsOk" with its major
// version echoed, and then reports ready.
void mobiledevice_link_sc_version_exchange(unsigned int socket);

// Sends ["DLMessageProcessMessage", dict] (binary); returns a deep copy of the array sent.
CFType mobiledevice_link_sc_send_process_message(unsigned int socket, CFType dict);

// Receives one message whose first element begins with "DL" (any case).
void mobiledevice_link_sc_recv_dlmsg(unsigned int socket, CFType& message, QString& kind, CFType lastSent);

// Receives a process message and returns a deep copy of its dictionary; the
// whole array goes to *whole when given.
CFType mobiledevice_link_sc_recv_dlprocessmsg_inner(unsigned int socket, CFType lastSent, CFType* whole = nullptr);

// Sends ["DLMessageDisconnect", reason] (binary); nothing is awaited.
void mobiledevice_link_sc_disconnect(unsigned int socket, QString reason);

// A text element: the empty text goes on the wire as the empty-parameter marker.
CFType mobiledevice_link_text(const QString& text);
