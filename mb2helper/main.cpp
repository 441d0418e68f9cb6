// vexlar-mb2helper: the backup helper for real devices.
//
//   vexlar-mb2helper --pipe <read fd> <write fd>
//
// Driven exactly like simbackup (see sim/backup/main.cpp for the pipe framing
// and the request keys): one request in, { AMSBackupPercentageKey } reports,
// ({ AMSPasscodeRequestedKey } true while the device waits for its user to
// enter the passcode on it, false once entered), then { } or
// { errorCode, errorDescription[, deviceErrorDescription] }, the
// last being the device's own words when the device itself ended the run with
// an error (the driver shows them to the user). The device named by
// AMSTargetIdentifierKey is found through the device framework loaded from
// $VEXLAR_MOBILEDEVICE, so the same helper serves simulated and real phones.
// The backup lies in RootDirectory/<identifier>/, written by the device
// itself through mobilebackup2's file-transfer messages; every path the
// device names must stay below RootDirectory.
//
// Error codes of its own: -2 no such device (within 10 seconds) or its
// service would not start, -3 malformed request, -10 the device went away,
// -19 another host keeps the sync lock (taken around a backup), -35 the
// device refused the service while locked; the device's own error
// codes are mapped in transfer.cpp.

#include "device/mobiledevice.h"
#include "device/mobiledevice_loader.h"
#include "device/mobiledevice_msg.h"
#include "mb2helper/synclock.h"
#include "mb2helper/transfer.h"
#include "services/helperpipe.h"
#include "services/mobiledevice_backup2.h"
#include "services/mobiledevice_link.h"
#include "services/mobiledevice_notification.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kFindDeviceMs = 10000;
// Another host (or an automatic sync) holds the device's sync lock.
constexpr int kErrSyncing = -19;

CFType readFrame(int fd) {
    return CFType::createCFPropertyList(helperpipe::readFrame(fd));
}

bool writeFrame(int fd, const CFType& message) {
    const QByteArray xml = message.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    return helperpipe::writeFrame(fd, xml.constData(), static_cast<size_t>(xml.size()));
}

struct Failure {
    int code;
    QString why;
    QString deviceWords = {};
};

// Device arrivals and removals, delivered on this (the main) thread.
class DeviceWatch : public QObject {
    Q_OBJECT
public:
    explicit DeviceWatch(QString udid) : udid(std::move(udid)) {}
    am_device* device = nullptr;
    bool removed = false;

public slots:
    void arrived(void* handle) {
        auto* dev = static_cast<am_device*>(handle);
        try {
            if (!device && mobiledevice_device_uid(dev) == udid) {
                device = dev;
            }
        } catch (const std::exception&) {
        }
    }
    void left(void* handle) { removed = removed || (device && handle == device); }

private:
    QString udid;
};

// The apps a restore hands back to the device (other hosts give them to the
// device as RestoreApplications.plist and refuse a backup without them): each
// user app with its SINF and iTunes metadata, as installation_proxy lists them.
CFType applicationsOf(am_device* device) {
    constexpr int kMaxBrowseMessages = 10000;
    CFType apps = CFType::createCFDictionary();
    unsigned int socket = 0;
    try {
        mobiledevice_startservice(device, "com.apple.mobile.installation_proxy", socket);
        CFType options = CFType::createCFDictionary();
        options.put(QStringLiteral("ApplicationType"), CFType::createCFString(QStringLiteral("User")));
        options.put(QStringLiteral("ReturnAttributes"),
                    CFType::createCFArray({CFType::createCFString(QStringLiteral("CFBundleIdentifier")),
                                           CFType::createCFString(QStringLiteral("ApplicationSINF")),
                                           CFType::createCFString(QStringLiteral("iTunesMetadata"))}));
        CFType request = CFType::createCFDictionary();
        request.put(QStringLiteral("Command"), CFType::createCFString(QStringLiteral("Browse")));
        request.put(QStringLiteral("ClientOptions"), options);
        mobiledevice_sendmsg(socket, request, false, kDeviceLinkTimeout);
        for (int n = 0; n < kMaxBrowseMessages; ++n) {
            const CFType reply = mobiledevice_recmsg(socket, request, kDeviceLinkTimeout);
            const CFType list = reply.get(QStringLiteral("CurrentList"));
            for (int i = 0; list.isCFArray() && i < list.array_size(); ++i) {
                const CFType entry = list.at(i);
                const QString id = entry.get(QStringLiteral("CFBundleIdentifier")).CFStringQString();
                const CFType sinf = entry.get(QStringLiteral("ApplicationSINF"));
                const CFType metadata = entry.get(QStringLiteral("iTunesMetadata"));
                if (!id.isEmpty() && sinf.isCFData() && metadata.isCFData()) {
                    CFType app = CFType::createCFDictionary();
                    app.put(QStringLiteral("ApplicationSINF"), sinf);
                    app.put(QStringLiteral("iTunesMetadata"), metadata);
                    apps.put(id, app);
                }
            }
            if (reply.get(QStringLiteral("Status")).CFStringQString() == QLatin1String("Complete")) {
                break;
            }
        }
    } catch (const std::exception& e) {
        qWarning("mb2helper: no app list for Info.plist: %s", e.what());
    }
    if (socket) {
        mobiledevice_closeservice(socket);
    }
    return apps;
}

// Info.plist is the host's to write: a device sends only its own files.
// Written before the request; a device that sends one replaces it.
void writeInfoPlist(am_device* device, const QString& udid, const QString& backupDir) {
    const QStringList keys{QStringLiteral("DeviceName"), QStringLiteral("ProductType"),
                           QStringLiteral("ProductVersion"), QStringLiteral("BuildVersion"),
                           QStringLiteral("SerialNumber")};
    const QStringList names{QStringLiteral("Device Name"), QStringLiteral("Product Type"),
                            QStringLiteral("Product Version"), QStringLiteral("Build Version"),
                            QStringLiteral("Serial Number")};
    const QList<CFType> values = mobiledevice_info(device, keys, QString());
    CFType info = CFType::createCFDictionary();
    for (qsizetype i = 0; i < keys.size() && i < values.size(); ++i) {
        if (values[i].isCFString()) {
            info.put(names[i], values[i]);
        }
    }
    info.put(QStringLiteral("Display Name"), info.get(QStringLiteral("Device Name")));
    info.put(QStringLiteral("Target Identifier"), CFType::createCFString(udid));
    info.put(QStringLiteral("Unique Identifier"), CFType::createCFString(udid.toUpper()));
    info.put(QStringLiteral("Target Type"), CFType::createCFString(QStringLiteral("Device")));
    info.put(QStringLiteral("Last Backup Date"), CFType::createCFDate(QDateTime::currentDateTimeUtc()));
    info.put(QStringLiteral("Applications"), applicationsOf(device));
    const QByteArray xml = info.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    const QString path = backupDir + QStringLiteral("/Info.plist");
    const QByteArray temp = QFile::encodeName(path + QStringLiteral(".mb2tmp"));
    if (!QDir().mkpath(backupDir)) {
        throw Failure{-20, QStringLiteral("cannot create %1").arg(backupDir)};
    }
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    const bool ok =
        fd >= 0 && helperpipe::writeAll(fd, xml.constData(), static_cast<size_t>(xml.size())) && ::fsync(fd) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!ok || ::rename(temp.constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(temp.constData());
        throw Failure{errno == ENOSPC ? -36 : -20, QStringLiteral("cannot write %1").arg(path)};
    }
}

// Status.plist says the snapshot is whole; one the device left mid-way does not.
bool snapshotFinished(const QString& backupDir) {
    const CFType status = CFType::createCFPropertyListFromFile(backupDir + QStringLiteral("/Status.plist"));
    return status.isCFDictionary() &&
           status.get(QStringLiteral("SnapshotState")).CFStringQString() == QLatin1String("finished");
}

// The run: throws Failure.
void serve(const CFType& request, int out) {
    const QString kind = request.get(QStringLiteral("AMSRequestKey")).CFStringQString();
    const bool restore = kind == QLatin1String("AMSRestoreWithApplicationsRequest");
    if (!restore && kind != QLatin1String("AMSBackupRequest")) {
        throw Failure{mb2::kErrUnknown, QStringLiteral("unknown request %1").arg(kind)};
    }
    const CFType options =
        request.get(restore ? QStringLiteral("AMSRestoreRestoreOptionsKey") : QStringLiteral("AMSBackupOptionsKey"));
    const QString target = request.get(QStringLiteral("AMSTargetIdentifierKey")).CFStringQString();
    const QString root = options.get(QStringLiteral("RootDirectory")).CFStringQString();
    const QString password = options.get(QStringLiteral("Password")).CFStringQString();
    static const QRegularExpression udidRe(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{0,79}$"));
    if (root.isEmpty() || !QFileInfo(root).isAbsolute() || !QFileInfo(root).isDir()) {
        throw Failure{mb2::kErrUnknown, QStringLiteral("the request names no existing absolute RootDirectory")};
    }
    if (!udidRe.match(target).hasMatch()) {
        throw Failure{mb2::kErrConnect, QStringLiteral("the request names no device")};
    }

    QString error;
    if (mobiledevice_loader_ini(error, QString()) != 1) {
        throw Failure{mb2::kErrConnect, error};
    }
    DeviceWatch watch(target);
    static _mobiledevice_listen_ctx ctx(&watch, "arrived", "left");
    if (!mobiledevice_listen(&ctx)) {
        throw Failure{mb2::kErrConnect, QStringLiteral("device notifications refused")};
    }
    const QDeadlineTimer findDeadline(kFindDeviceMs);
    while (!watch.device && !findDeadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    if (!watch.device) {
        throw Failure{mb2::kErrConnect, QStringLiteral("device %1 is not connected").arg(target)};
    }

    SyncLock lock(watch.device);
    if (!restore) {
        bool locked = false;
        try {
            locked = lock.acquire();
        } catch (const std::exception& e) {
            throw Failure{mb2::kErrAttach, QString::fromUtf8(e.what())};
        }
        if (!locked) {
            throw Failure{kErrSyncing, QStringLiteral("another host keeps the device's sync lock")};
        }
    }
    // Before the request: a phone that asks for its passcode says so at once.
    unsigned int notifySocket = 0;
    if (!restore) {
        try {
            mobiledevice_notification_start(watch.device, notifySocket);
            for (const char* name :
                 {"com.apple.LocalAuthentication.ui.presented", "com.apple.LocalAuthentication.ui.dismissed"}) {
                mobiledevice_notification_observe(notifySocket, QString::fromLatin1(name));
            }
        } catch (const std::exception& e) {
            qWarning("mb2helper: no passcode prompt notifications: %s", e.what());
            if (notifySocket) {
                mobiledevice_closeservice(notifySocket);
            }
            notifySocket = 0;
        }
    }
    const auto closeNotify = qScopeGuard([&notifySocket] {
        if (notifySocket) {
            mobiledevice_closeservice(notifySocket);
        }
    });
    unsigned int socket = 0;
    try {
        mobiledevice_backup2_start(watch.device, socket);
    } catch (const std::exception& e) {
        const QString why = QString::fromUtf8(e.what());
        if (socket) {
            mobiledevice_closeservice(socket);
        }
        throw Failure{why.endsWith(QStringLiteral("=%1").arg(kAMDPasswordProtectedError)) ? mb2::kErrLocked
                                                                                          : mb2::kErrConnect,
                      why};
    }
    int percentSent = -1;
    auto percent = [out, &percentSent](int p) {
        if (p == percentSent) {
            return;
        }
        percentSent = p;
        CFType msg = CFType::createCFDictionary();
        msg.put(QStringLiteral("AMSBackupPercentageKey"), CFType::createCFNumberInt32(p));
        if (!writeFrame(out, msg)) {
            throw Failure{mb2::kErrUnknown, QStringLiteral("the driver closed its pipe")};
        }
    };
    const QString backupDir = root + QLatin1Char('/') + target;
    int code = 0;
    QString deviceWords;
    error.clear();
    try {
        double versions[] = {2.0, 2.1};
        mobiledevice_backup2_version_exchange(socket, versions, 2);
        percent(0);
        if (restore) {
            CFType opts = CFType::createCFDictionary();
            // Messages, call history and Safari keep their databases open until a restart,
            // and would write the cleaned records back.
            opts.put(QStringLiteral("RestoreShouldReboot"), CFType::createCFBoolean(true));
            opts.put(QStringLiteral("RestoreDontCopyBackup"), CFType::createCFBoolean(true));
            opts.put(QStringLiteral("RestorePreserveSettings"), CFType::createCFBoolean(true));
            opts.put(QStringLiteral("RestoreSystemFiles"), CFType::createCFBoolean(true));
            opts.put(QStringLiteral("RemoveItemsNotRestored"), CFType::createCFBoolean(true));
            if (!password.isEmpty()) {
                opts.put(QStringLiteral("Password"), CFType::createCFString(password));
            }
            mobiledevice_backup2_send_request(socket, QStringLiteral("Restore"), target, target, opts);
        } else {
            // From here on the folder stops describing a finished backup.
            QFile::remove(backupDir + QStringLiteral("/Status.plist"));
            writeInfoPlist(watch.device, target, backupDir);
            mobiledevice_backup2_request_backup(socket, target, false);
        }
        mb2::Transfer transfer(socket, root, target, percent);
        transfer.watchPasscodePrompt(notifySocket, [out](bool asked) {
            CFType msg = CFType::createCFDictionary();
            msg.put(QStringLiteral("AMSPasscodeRequestedKey"), CFType::createCFBoolean(asked));
            if (!writeFrame(out, msg)) {
                throw Failure{mb2::kErrUnknown, QStringLiteral("the driver closed its pipe")};
            }
        });
        code = transfer.run();
        error = transfer.error();
        deviceWords = transfer.words();
        if (code == 0) {
            try {
                mobiledevice_link_sc_disconnect(socket, QString());
            } catch (const std::exception&) {
                // A phone restarting after its restore is already gone.
            }
        }
    } catch (const Failure& f) {
        code = f.code;
        error = f.why;
    } catch (const std::exception& e) {
        code = mb2::kErrAttach;
        error = QString::fromUtf8(e.what());
    }
    mobiledevice_closeservice(socket);
    if (code != 0) {
        if (!restore) {
            // Whatever the device sent before it failed, this is no finished backup.
            QFile::remove(backupDir + QStringLiteral("/Status.plist"));
        }
        throw Failure{code, error.isEmpty() ? QStringLiteral("the device ended the run with an error") : error,
                      deviceWords};
    }
    if (!restore && !snapshotFinished(backupDir)) {
        QFile::remove(backupDir + QStringLiteral("/Status.plist"));
        throw Failure{-20, QStringLiteral("the device reported success without a complete backup")};
    }
    percent(100);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 4 || std::strcmp(argv[1], "--pipe") != 0) {
        std::fprintf(stderr, "usage: vexlar-mb2helper --pipe <read fd> <write fd>\n");
        return 2;
    }
    bool okIn = false, okOut = false;
    const int in = QString::fromLocal8Bit(argv[2]).toInt(&okIn);
    const int out = QString::fromLocal8Bit(argv[3]).toInt(&okOut);
    if (!okIn || !okOut || in < 0 || out < 0) {
        std::fprintf(stderr, "vexlar-mb2helper: descriptors must be numbers\n");
        return 2;
    }
    // A driver or device that goes away shows as a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    int fakeArgc = 1;
    QCoreApplication app(fakeArgc, argv);
    const CFType request = readFrame(in);
    try {
        if (!request.isCFDictionary()) {
            throw Failure{mb2::kErrUnknown, QStringLiteral("no readable request")};
        }
        serve(request, out);
    } catch (const Failure& f) {
        CFType msg = CFType::createCFDictionary();
        msg.put(QStringLiteral("errorCode"), CFType::createCFNumberInt32(f.code));
        msg.put(QStringLiteral("errorDescription"), CFType::createCFString(f.why));
        if (!f.deviceWords.isEmpty()) {
            msg.put(QStringLiteral("deviceErrorDescription"), CFType::createCFString(f.deviceWords));
        }
        std::fprintf(stderr, "vexlar-mb2helper: error %d: %s\n", f.code, qPrintable(f.why));
        writeFrame(out, msg);
        return 1;
    }
    return writeFrame(out, CFType::createCFDictionary()) ? 0 : 1;
}

#include "main.moc"
