#pragma once

// A direct mobilebackup2 client ("com.apple.mobilebackup2") over DeviceLink:
// hello with protocol versions, requests, status responses and the iCloud
// backup switch. Every function throws std::runtime_error; the caller then
// closes the socket.

#include "device/cftype.h"
#include "device/mobiledevice_abi.h"

#include <QString>

// Starts the service and runs the DeviceLink version exchange on its socket.
void mobiledevice_backup2_start(am_device* device, unsigned int& socket);

// Sets "MessageName" in (a copy of) the dictionary and sends it as a process
// message; returns a deep copy of the array sent.
CFType mobiledevice_backup2_send_msg(unsigned int socket, QString name, CFType dict);

// Any DeviceLink message, with its kind.
void mobiledevice_backup2_recv_msg(unsigned int socket, CFType& message, QString& kind);

// A process message that must be a "Response": its "ErrorCode" goes to
// errorCode (0 when absent, -1 when it is not a number that fits) and a deep
// copy of its dictionary is returned; the whole array goes to *whole.
CFType mobiledevice_backup2_recv_dlmessage_response(unsigned int socket, int& errorCode, CFType lastSent,
                                                    CFType* whole = nullptr);

// Hello with `count` versions in the caller's order; returns the version the
// device chose (0 when it names none).
double mobiledevice_backup2_version_exchange(unsigned int socket, double* versions, char count);

// `source` is left out when empty, `options` when null.
CFType mobiledevice_backup2_send_request(unsigned int socket, QString request, QString target, QString source,
                                         CFType options);

// ["DLMessageStatusResponse", code, text, value]; an empty text and a null
// value go out as the empty-parameter marker. Returns a deep copy of it.
CFType mobiledevice_backup2_send_status_response(unsigned int socket, int code, QString text, CFType value);

// Switches iCloud backup of the device with that identifier; throws when the
// device answers with an error code.
void mobiledevice_backup2_set_enable_icloud(unsigned int socket, QString udid, bool enable);

// The phone's own backup password: newPassword alone turns encryption on,
// oldPassword alone turns it off, both change it. Throws, with the phone's
// reason, when it refuses (a wrong old password among them).
void mobiledevice_backup2_change_password(unsigned int socket, QString udid, QString oldPassword, QString newPassword);

// Asks for a backup; the file transfer that follows is the caller's to handle.
void mobiledevice_backup2_request_backup(unsigned int socket, QString udid, bool fullBackup);
