#include "cleaners/iosclearappcachethread.h"

#include "app/paths.h"
#include "services/mobiledevice_afc.h"

#include <atomic>
#include <exception>
#include <thread>
#include <vector>

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
    qint64 cleared = 0;
    const qint64 found = walk(afc, dir, remove, 0, cleared);
    clearedBytes += cleared;
    return found;
}

qint64 IOSClearAppCacheThread::walk(mobiledevice_afc& afc, const QString& dir, bool remove, int depth,
                                    qint64& cleared) {
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
                cleared += size;
            }
        } else if (entry.isDir() && depth < kMaxDepth) {
            total += walk(afc, entry.path, remove, depth + 1, cleared);
            if (remove) {
                afc.del(entry.path);
            }
        }
    }
    return total;
}

IOSClearAppCacheThread::AppResult IOSClearAppCacheThread::cleanApp(const _IOSAppInfo& app) {
    AppResult result;
    try {
        mobiledevice_afc afc(m_device.device);
        afc.cancel = &m_progress.canceled;
        try {
            afc.startService(app.appId);
        } catch (const afc_status_error&) {
            result.refused = true; // the other apps' caches are still ours to clear
            result.done = true;
            return result;
        }
        const bool remove = !scanOnly;
        result.found = walk(afc, QStringLiteral("/Library/Caches"), remove, 0, result.cleared);
        result.found += walk(afc, QStringLiteral("/Library/tmp"), remove, 0, result.cleared);
        result.done = true;
    } catch (int) {
        result.canceled = true;
    } catch (const std::exception& e) {
        result.error = QString::fromUtf8(e.what());
    }
    return result;
}

void IOSClearAppCacheThread::run() {
    clearedBytes = 0;
    refusedApps.clear();
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCAN_IOS_APP_CACHE") : tr("IDS_CLEAR_IOS_APP_CACHE"), 0,
                                    QString());
    const int n = int(m_apps.size());
    // Each container on a connection of its own, a few at once: the device answers one
    // connection while the link carries another's requests.
    std::vector<AppResult> results(static_cast<size_t>(n));
    std::atomic<int> next{0};
    std::atomic<int> started{0};
    std::atomic<bool> stop{false};
    const auto work = [&] {
        for (int i = next++; i < n && !stop && !m_progress.canceled; i = next++) {
            const _IOSAppInfo& app = m_apps.at(i);
            const QString title = scanOnly ? tr("IDS_SCANING_%1") : tr("IDS_CLEARING_%1");
            m_progress.invokeUpdateProgress(title.arg(app.appName), int(double(++started) / n * 100.0), QString());
            results[static_cast<size_t>(i)] = cleanApp(app);
            if (!results[static_cast<size_t>(i)].done) {
                stop = true; // as the one-by-one walk did: nothing new starts after a failure
            }
        }
    };
    std::vector<std::thread> workers;
    const int extra = std::min(kConnectionsInFlight, n) - 1;
    for (int w = 0; w < extra; ++w) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& t : workers) {
        t.join();
    }

    // Figures up to the first app that did not finish, as a one-by-one walk would give them.
    for (const AppResult& r : results) {
        clearedBytes += r.cleared; // every byte the device let go of, whatever happened next
    }
    for (int i = 0; i < n; ++i) {
        const AppResult& r = results[static_cast<size_t>(i)];
        if (!r.done) {
            break;
        }
        if (r.refused) {
            refusedApps.append(m_apps.at(i).appId);
        } else {
            appCacheBytes.insert(m_apps.at(i).appId, r.found);
        }
    }
    for (int i = 0; i < n; ++i) {
        const AppResult& r = results[static_cast<size_t>(i)];
        if (r.canceled || m_progress.canceled) {
            return; // cancelled: the dialog has already finished
        }
        if (!r.error.isNull()) {
            m_progress.invokeErrorOccurred(r.error);
            return;
        }
    }
    if (scanOnly) {
        m_progress.invokeSucceed(QString());
    } else {
        m_progress.invokeSucceed(tr("IDS_FOUND_%1_APPCACHE_SUC_CLEAR_%2")
                                     .arg(formatSpaceShow(totalScanBytes()), formatSpaceShow(clearedBytes)));
    }
}
