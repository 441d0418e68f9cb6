#pragma once

// Device arrival and removal, and the short lockdown sessions used to read and
// write device values and to start device services.
//
// Every session operation opens its own session (connect, pair when needed,
// validate, start session) and closes it before returning; a started service
// is a socket that outlives the session and belongs to the caller.

#include "device/cftype.h"
#include "device/mobiledevice_abi.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// Where device notifications go: the receiver's methods are invoked by name
// with one argument of type void* (the am_device*).
struct _mobiledevice_listen_ctx {
    QObject* receiver;
    const char* connected;
    const char* disconnected;

    _mobiledevice_listen_ctx() : receiver(nullptr), connected(""), disconnected("") {}
    _mobiledevice_listen_ctx(QObject* receiver, const char* connected, const char* disconnected)
        : receiver(receiver), connected(connected), disconnected(disconnected) {}
};

// Filled by the main window; must live as long as the program.
extern _mobiledevice_listen_ctx g_listen_ctx;

// Subscribes to device notifications; true when the framework accepted.
bool mobiledevice_listen(_mobiledevice_listen_ctx* ctx);

// Connects, pairs when needed, validates the pairing and starts a session.
// 0 on success; else the failing framework result code, with `error` set and
// the connection already given back.
int device_open(am_device* device, QString& error);

// One value per key, in key order; a null value where the device has none.
// An empty domain or key is passed as "none" (an empty key with a domain
// gives the whole domain). Throws std::runtime_error.
QList<CFType> mobiledevice_info(am_device* device, QStringList keys, QString domain);

// The framework's result code of the write (0 = done). Throws on session failure.
int mobiledevice_set(am_device* device, QString domain, QString key, CFType value);

// The device's unique identifier, known without a session (no trust dialog).
QString mobiledevice_device_uid(am_device* device);

// Starts the named lockdown service; its socket is stored in `socket`.
// Throws std::runtime_error on failure (the socket is then not valid).
void mobiledevice_startservice(am_device* device, char const* service, unsigned int& socket);

// Closes a service socket; the close call's result.
int mobiledevice_closeservice(unsigned int socket);
