#include "cleaners/iosloadappthread.h"

#include "app/paths.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"
#include "services/mobiledevice_afc.h"
#include "services/mobiledevice_springboard.h"

#include <QFile>
#include <QLoggingCategory>
#include <exception>
#include <stdexcept>

Q_LOGGING_CATEGORY(lcLoadApp, "vexlar.cleaners.loadapp")

namespace {
constexpr int kTimeout = 60000;
// A device that never says "Complete" must not keep us listening for ever.
constexpr int kMaxBrowseMessages = 100000;
// Far above any real device; a hostile one must not grow the list without bound.
constexpr qsizetype kMaxApps = 100000;

// Closes the service socket whatever way the listing ends.
struct ServiceSocket {
    unsigned int socket = 0;
    ~ServiceSocket() {
        if (socket != 0) {
            mobiledevice_closeservice(socket);
        }
    }
};
} // namespace

IOSLoadAppThread::IOSLoadAppThread(IOSDevice const& device, ProgressReporter& progress, QObject* parent)
    : QThread(parent), m_device(device), m_progress(progress) {}

void IOSLoadAppThread::listApps() {
    ServiceSocket service;
    mobiledevice_startservice(m_device.device, "com.apple.mobile.installation_proxy", service.socket);

    CFType options = CFType::createCFDictionary();
    options.put(QStringLiteral("ApplicationType"), CFType::createCFString(QStringLiteral("User")));
    CFType request = CFType::createCFDictionary();
    request.put(QStringLiteral("Command"), CFType::createCFString(QStringLiteral("Browse")));
    request.put(QStringLiteral("ClientOptions"), options);
    mobiledevice_sendmsg(service.socket, request, false, kTimeout);

    for (int n = 0; n < kMaxBrowseMessages; ++n) {
        if (m_progress.canceled) {
            throw -1;
        }
        const CFType reply = mobiledevice_recmsg(service.socket, request, kTimeout);
        const CFType list = reply.get(QStringLiteral("CurrentList"));
        const long count = list.isCFArray() ? list.array_size() : 0;
        for (long i = 0; i < count; ++i) {
            const CFType entry = list.at(int(i));
            const QString appId = entry.get(QStringLiteral("CFBundleIdentifier")).CFStringQString();
            QString appName = entry.get(QStringLiteral("CFBundleName")).CFStringQString();
            if (appName.isEmpty()) {
                appName = appId;
            }
            if (apps.size() >= kMaxApps) {
                throw std::runtime_error("The device lists more apps than this program can show.");
            }
            apps.append(_IOSAppInfo(appId, appName));
        }
        const QString status = reply.get(QStringLiteral("Status")).CFStringQString();
        if (status.compare(QStringLiteral("Complete"), Qt::CaseInsensitive) == 0) {
            return;
        }
    }
    throw std::runtime_error("The device sent no end to its app list.");
}

void IOSLoadAppThread::cacheIcon(const _IOSAppInfo& app) {
    // The identifier comes from the device: only a plain name gets an icon folder.
    if (!g_isSafeIdentifier(app.appId, IdentifierKind::App)) {
        return;
    }
    QDir dir = m_device.appDir(app.appId);
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        return;
    }
    const QString localPath = dir.filePath(QStringLiteral("iTunesArtwork"));
    if (QFile::exists(localPath) || copyArtwork(app, localPath)) {
        return;
    }
    // No artwork to read (since iOS 8.3 the containers of App Store apps are refused): the home screen's icon.
    try {
        const QByteArray png = mobiledevice_springboard_icon(m_device.device, app.appId, kMaxIconBytes);
        const QString partPath = localPath + QStringLiteral(".part");
        QFile local(partPath);
        const bool written = !png.isEmpty() && local.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                             local.write(png) == png.size() && local.flush();
        local.close();
        if (!written || !QFile::rename(partPath, localPath)) {
            QFile::remove(partPath);
        }
    } catch (const std::exception& e) {
        qCDebug(lcLoadApp, "SpringBoard icon of %s: %s", qPrintable(app.appId), e.what());
    }
}

bool IOSLoadAppThread::copyArtwork(const _IOSAppInfo& app, const QString& localPath) {
    try {
        mobiledevice_afc afc(m_device.device);
        afc.startService(app.appId);
        AfcFile remote;
        if (!afc.readFile(QStringLiteral("/iTunesArtwork"), remote)) {
            return false;
        }
        // Written under a temporary name, so an interrupted copy is never taken for a cached icon.
        const QString partPath = localPath + QStringLiteral(".part");
        QFile local(partPath);
        if (!local.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            return false;
        }
        if (iconBuffer.size() != kIconBufferSize) {
            iconBuffer.resize(kIconBufferSize);
        }
        bool ok = true;
        qint64 copied = 0;
        while (ok) {
            if (m_progress.canceled) {
                local.close();
                QFile::remove(partPath);
                throw -1;
            }
            const int n = remote.read(iconBuffer.data(), kIconBufferSize);
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            copied += n;
            // The device decides the size: past the cap the icon is dropped, not cached.
            ok = copied <= kMaxIconBytes && local.write(iconBuffer.constData(), n) == n;
        }
        local.close();
        remote.close();
        if (!ok || !QFile::rename(partPath, localPath)) {
            QFile::remove(partPath);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        qCDebug(lcLoadApp, "Error: %s", e.what());
        return false;
    }
}

void IOSLoadAppThread::run() {
    m_progress.invokeUpdateProgress(tr("IDS_LOADING_IOS_APP_INFO"), 0, QString());
    try {
        try {
            listApps();
        } catch (const std::exception& e) {
            m_progress.invokeErrorOccurred(QStringLiteral("%1, line: %2").arg(QString::fromUtf8(e.what())).arg(49));
            return;
        }
        const int n = int(apps.size());
        for (int i = 1; i <= n; ++i) {
            if (m_progress.canceled) {
                throw -1;
            }
            m_progress.invokeUpdateProgress(QString(), int(double(i) / n * 100.0), QString());
            cacheIcon(apps.at(i - 1));
        }
        m_progress.invokeSucceed(QString());
    } catch (int) {
        // Cancelled: the dialog has already finished.
    }
}
