#pragma once

// Measures, and unless scanOnly also deletes, what lies below each app's
// /Library/Caches and /Library/tmp on the live device (house arrest + AFC).
// The two folders themselves are kept.

#include "app/progressreporter.h"
#include "cleaners/iosappinfo.h"
#include "device/iosdevice.h"

#include <QHash>
#include <QList>
#include <QStringList>
#include <QThread>

class mobiledevice_afc;

class IOSClearAppCacheThread : public QThread {
    Q_OBJECT
public:
    // `apps` is referenced, not copied: it must outlive the thread.
    IOSClearAppCacheThread(IOSDevice const& device, QList<_IOSAppInfo> const& apps, ProgressReporter& progress,
                           QObject* parent = nullptr);

    bool scanOnly = false;
    qint64 clearedBytes = 0;              // deleted in this run
    QHash<QString, qint64> appCacheBytes; // bundle identifier -> bytes found
    QStringList refusedApps;              // whose container the device would not vend: left to a backup

    // Bytes of the regular files below dir; deletes them and the sub-folders when remove.
    qint64 removeIOSDir(mobiledevice_afc& afc, QString dir, bool remove);
    qint64 totalScanBytes() const;

    // Deeper folder chains than this are left alone: a hostile device must not exhaust our stack.
    static constexpr int kMaxDepth = 64;
    // Containers walked at once, each over its own connection.
    static constexpr int kConnectionsInFlight = 6;

protected:
    void run() override;

private:
    struct AppResult {
        qint64 found = 0;
        qint64 cleared = 0;
        bool done = false;
        bool refused = false; // the device would not vend the container
        bool canceled = false;
        QString error;
    };
    AppResult cleanApp(const _IOSAppInfo& app);
    qint64 walk(mobiledevice_afc& afc, const QString& dir, bool remove, int depth, qint64& cleared);

    IOSDevice const& m_device;
    QList<_IOSAppInfo> const& m_apps;
    ProgressReporter& m_progress;
};
