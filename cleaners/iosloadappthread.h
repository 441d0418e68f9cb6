#pragma once

// Lists the user apps of a device through installation_proxy and keeps each
// app's artwork in the device's local cache folder, so the app list can show
// an icon; where the artwork cannot be read, the icon SpringBoard shows for the
// app is kept instead. An icon once cached is never fetched again. The worker stops
// silently once the dialog is cancelled.

#include "app/progressreporter.h"
#include "cleaners/iosappinfo.h"
#include "device/iosdevice.h"

#include <QByteArray>
#include <QList>
#include <QThread>

class IOSLoadAppThread : public QThread {
    Q_OBJECT
public:
    IOSLoadAppThread(IOSDevice const& device, ProgressReporter& progress, QObject* parent = nullptr);

    QByteArray iconBuffer;   // 256 KiB once the first icon is copied
    QList<_IOSAppInfo> apps; // in the order the device sent them

    static constexpr int kIconBufferSize = 262144;
    // A larger icon is not cached: the app list shows the default picture for it.
    static constexpr qint64 kMaxIconBytes = 4 * 1024 * 1024;

protected:
    void run() override;

private:
    void listApps();
    void cacheIcon(const _IOSAppInfo& app);
    // Copies the container's /iTunesArtwork; false when it could not be read whole.
    bool copyArtwork(const _IOSAppInfo& app, const QString& localPath);

    IOSDevice const& m_device;
    ProgressReporter& m_progress;
};
