#pragma once

#include <QString>

namespace sim {

struct CreateOptions {
    QString dir; // the device folder to create
    QString udid;
    QString name;
    QString productType;
    QString iosVersion;
    QString preset; // empty, demo or large
    QString password;
    bool encrypt = false;
    bool icloud = false;
    // Demo apps marked as App Store installs, whose containers house arrest
    // refuses (as devices do since iOS 8.3): their caches need the backup road.
    bool storeApps = false;
};

// Creates the device; the empty text on success, else what went wrong (the
// half-built folder is removed).
QString createDevice(const CreateOptions& options);

// Fills files/ and returns the app list of the demo phone (large: scaled up).
// Writes into filesDir; the error text is empty on success.
QString buildDemoData(const QString& filesDir, bool large, QString* appsPlistXml);

} // namespace sim
