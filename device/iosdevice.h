#pragma once

// The record of one connected or virtual device, and a comparable iOS version.

#include "device/mobiledevice_abi.h"

#include <QDir>
#include <QList>
#include <QMetaType>
#include <QString>
#include <stdexcept>

class IOSDevice {
public:
    IOSDevice();
    // The record of a connected device from its lockdown answer. Throws, with nothing
    // touched, when its UniqueDeviceID could not name its folders as it stands.
    static IOSDevice fromDeviceThrow(am_device* handle);
    // Thrown by fromDeviceThrow when the device answered no identifier at all in the session, as a phone still
    // being paired by the mux daemon may: the read failed, which a later try may not.
    class Unanswered : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    QString name;
    QString udid;
    QString countryCode;
    QString productVersion;
    QString productType;
    // Only ever set in an action's own copy; the device list never stores it.
    QString backupPassword;
    // Not owned; invalid once the device's removal has been reported.
    am_device* device;

    // "ios_cache/<udid>" in the cache directory, created when missing.
    QDir cacheDir() const;
    // cacheDir() joined with the app identifier; not created. An identifier that is not
    // a plain name gets the one folder no identifier can name, never created.
    QDir appDir(QString appId) const;
    QList<int> versionList() const;
    // Reads the device's backup settings; false (after a warning) when iCloud
    // backup (checkICloud) or backup encryption (checkEncrypt) is on.
    // Session errors pass to the caller.
    bool checkiTunesBackupSettings(bool checkICloud, bool checkEncrypt) const;
};

Q_DECLARE_METATYPE(IOSDevice)

struct _IOSVersion {
    QList<int> parts;

    _IOSVersion(QString const& text);
    // < 0, 0, > 0 as this is older, equal or newer; see the definition for the exact value.
    int compare(_IOSVersion const& other) const;
    QString toString() const;

    // The components of a version text: every "\.?(\d+)" match, in order.
    static QList<int> parse(QString const& text);
};
