#include "cleaners/iosclearappcachethread.h"

#include "app/paths.h"
#include "services/mobiledevice_afc.h"

#include <exception>

IOSClearAppCacheThread::IOSClearAppCacheThread(IOSDevice const& device, QList<_IOSAppInfo> const& apps,
                                               ProgressReporter& progress, QObject* parent)
    : QThread(parent), m_device(device), m_apps(apps), m_progress(progress) {}

qint64 IOSClearAppCacheThread::totalScanBytes() const {
    qint64 total = 0;
    for (auto it = appCacheBytes.cbegin(); it != appCacheBytes.cend(); ++it) {
        total += it.value();
    }
    return total;
}

qint64 IOSClearAppCacheThread::removeIOSDir(mobiledevice_afc& afc, QString dir, bool remove) {
    return walk(afc, dir, remove, 0);
}

qint64 IOSClearAppCacheThread::walk(mobiledevice_afc& afc, const QString& dir, bool remove, int depth) {
    qint64 total = 0;
    const QString prefix = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
    const QList<_AfcFileInfo> entries = afc.lt(dir);
    for (const _AfcFileInfo& entry : entries) {
        if (m_progress.canceled) {
            throw -1;
        }
        // Names come from the device: act only on a plain name directly inside the folder being walked.
        if (!entry.path.startsWith(prefix) || !afc_is_plain_name(entry.path.mid(prefix.size()))) {
            continue;
        }
        if (entry.isFile()) {
            m_progress.invokeUpdateProgress(QString(), -1, entry.path);
            const qint64 size = qMax<qint64>(0, entry.size);
            total += size;
            // Only bytes the device really let go of count as freed.
            if (remove && afc.del(entry.path)) {
                clearedBytes += size;
            }
        } else if (entry.isDir() && depth < kMaxDepth) {
            total += walk(afc, entry.path, remove, depth + 1);
            if (remove) {
                afc.del(entry.path);
            }
        }
    }
    return total;
}

void IOSClearAppCacheThread::run() {
    clearedBytes = 0;
    refusedApps.clear();
    try {
        m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCAN_IOS_APP_CACHE") : tr("IDS_CLEAR_IOS_APP_CACHE"), 0,
                                        QString());
        const int n = int(m_apps.size());
        for (int i = 1; i <= n; ++i) {
            const _IOSAppInfo& app = m_apps.at(i - 1);
            if (m_progress.canceled) {
                throw -1;
            }
            const QString title = scanOnly ? tr("IDS_SCANING_%1") : tr("IDS_CLEARING_%1");
            m_progress.invokeUpdateProgress(title.arg(app.appName), int(double(i) / n * 100.0), QString());
            mobiledevice_afc afc(m_device.device);
            afc.cancel = &m_progress.canceled;
            try {
                afc.startService(app.appId);
            } catch (const afc_status_error&) {
                refusedApps.append(app.appId); // the other apps' caches are still ours to clear
                continue;
            }
            const bool remove = !scanOnly;
            qint64 bytes = removeIOSDir(afc, QStringLiteral("/Library/Caches"), remove);
            bytes += removeIOSDir(afc, QStringLiteral("/Library/tmp"), remove);
            appCacheBytes.insert(app.appId, bytes);
            afc.closeService();
        }
        if (scanOnly) {
            m_progress.invokeSucceed(QString());
        } else {
            m_progress.invokeSucceed(tr("IDS_FOUND_%1_APPCACHE_SUC_CLEAR_%2")
                                         .arg(formatSpaceShow(totalScanBytes()), formatSpaceShow(clearedBytes)));
        }
    } catch (int) {
        // Cancelled: the dialog has already finished.
    } catch (const std::exception& e) {
        m_progress.invokeErrorOccurred(QString::fromUtf8(e.what()));
    }
}
