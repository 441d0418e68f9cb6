#include "mb2helper/transfer.h"

#include "device/mobiledevice_msg.h"
#include "services/mobiledevice_backup2.h"
#include "services/mobiledevice_link.h"
#include "services/mobiledevice_notification.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace mb2 {

namespace {

// Raw transfer codes after the length of each block.
constexpr char kCodeSuccess = 0x00;
constexpr char kCodeLocalError = 0x06;
// The device's own end of a file it could not read whole: what came is kept.
constexpr char kCodeRemoteError = 0x0b;
constexpr char kCodeFileData = 0x0c;
constexpr int kChunk = 65536;
constexpr quint32 kMaxName = 4096;
constexpr quint32 kMaxBlock = 16 * 1024 * 1024 + 1;
constexpr int kMultiStatus = -13;
// No message for this long is normal: the device may be waiting for its user.
// Each such wait reminds the driver, whose own read gives up after a minute.
constexpr int kReceiveWaitMs = 5000;
constexpr char kPasscodePresented[] = "com.apple.LocalAuthentication.ui.presented";
constexpr char kPasscodeDismissed[] = "com.apple.LocalAuthentication.ui.dismissed";
constexpr qsizetype kMaxDeviceWords = 500;

QByteArray enc(const QString& path) {
    return QFile::encodeName(path);
}

CFType text(const QString& t) {
    return CFType::createCFString(t);
}

[[noreturn]] void broken(const char* what) {
    throw std::runtime_error(std::string("the device link broke: ") + what);
}

// Everything written below path reaches the disk (before the one rename that finishes the backup).
bool syncedBefore(const QString& path) {
    const int fd = ::open(enc(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return synced;
}

bool removeTree(const QString& path) {
    struct stat st {};
    if (::lstat(enc(path).constData(), &st) != 0) {
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        return QDir(path).removeRecursively();
    }
    return ::unlink(enc(path).constData()) == 0;
}

} // namespace

int driverCodeOf(int deviceCode) {
    switch (deviceCode) {
    case 104: // upload errors
        return -30;
    case 105: // not enough space
        return -36;
    case 202: // cancelled on the device
        return -21;
    case 205: // backup folder or digests
        return -20;
    case 207: // wrong backup password
        return kErrPassword;
    case 208: // device locked
        return kErrLocked;
    case 209: // the passcode prompt on the device (iOS 16.1 and later) was not answered
        return -1;
    case 211: // Find My on
        return -37;
    case 212: // setup not finished
        return -38;
    default:
        return deviceCode;
    }
}

int deviceErrorOf(int error) {
    switch (error) {
    case ENOENT:
        return -6;
    case EEXIST:
        return -7;
    case ENOTDIR:
        return -8;
    case EISDIR:
        return -9;
    case ELOOP:
        return -10;
    case EIO:
        return -11;
    case ENOSPC:
        return -15;
    default:
        return -1;
    }
}

QString resolveUnder(const QString& root, const QString& folder, const QString& devicePath) {
    if (devicePath.isEmpty() || devicePath.startsWith(QLatin1Char('/')) || devicePath.contains(QChar(0))) {
        return QString();
    }
    QString path = root;
    const QStringList parts = devicePath.split(QLatin1Char('/'));
    if (parts.first() != folder) {
        return QString();
    }
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) {
            if (part.isEmpty() && i == parts.size() - 1 && i > 0) {
                continue; // a trailing slash names the folder
            }
            return QString();
        }
        path += QLatin1Char('/') + part;
        struct stat st {};
        if (::lstat(enc(path).constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
            return QString();
        }
    }
    return path;
}

Transfer::Transfer(unsigned int socket, QString root, QString folder, std::function<void(int)> percent)
    : socket(socket), root(std::move(root)), folder(std::move(folder)), percent(std::move(percent)) {}

quint32 Transfer::readU32() {
    unsigned char be[4];
    if (mobiledevice_recv_all(socket, reinterpret_cast<char*>(be), 4, kDeviceLinkTimeout) != 4) {
        broken("length");
    }
    return (quint32(be[0]) << 24) | (quint32(be[1]) << 16) | (quint32(be[2]) << 8) | be[3];
}

QByteArray Transfer::readBytes(quint32 n) {
    QByteArray bytes(static_cast<qsizetype>(n), Qt::Uninitialized);
    if (n > 0 &&
        mobiledevice_recv_all(socket, bytes.data(), static_cast<int>(n), kDeviceLinkTimeout) != static_cast<int>(n)) {
        broken("data");
    }
    return bytes;
}

void Transfer::writeU32(quint32 v) {
    const char be[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    writeBytes(be, 4);
}

void Transfer::writeBytes(const char* data, int n) {
    if (mobiledevice_send_all(socket, data, n, kDeviceLinkTimeout) != n) {
        broken("send");
    }
}

void Transfer::status(int code, const QString& description, const CFType& value) {
    mobiledevice_backup2_send_status_response(socket, code, description, value);
}

void Transfer::watchPasscodePrompt(unsigned int notifySocket, std::function<void(bool)> prompt) {
    this->notifySocket = notifySocket;
    passcodePrompt = std::move(prompt);
}

void Transfer::waitForData() {
    for (;;) {
        pollfd p[2] = {{static_cast<int>(socket), POLLIN, 0}, {static_cast<int>(notifySocket), POLLIN, 0}};
        const int ready = ::poll(p, notifySocket ? 2 : 1, kReceiveWaitMs);
        if ((ready > 0 && p[0].revents) || (ready < 0 && errno != EINTR)) {
            return; // data, or an end the next read reports
        }
        if (ready > 0 && p[1].revents) {
            QString name;
            try {
                name = mobiledevice_notification_get_throw(notifySocket);
            } catch (const std::exception& e) {
                qWarning("mb2helper: the notification proxy failed: %s", e.what());
                notifySocket = 0; // the backup goes on without it
            }
            if (name == QLatin1String(kPasscodePresented) || name == QLatin1String(kPasscodeDismissed)) {
                passcodeAsked = name == QLatin1String(kPasscodePresented);
                passcodePrompt(passcodeAsked);
            }
        } else if (ready == 0 && passcodeAsked) {
            passcodePrompt(true);
        }
    }
}

void Transfer::statusFor(const QList<QPair<QString, int>>& failures) {
    CFType errors = CFType::createCFDictionary();
    for (const auto& [path, error] : failures) {
        CFType entry = CFType::createCFDictionary();
        entry.put(QStringLiteral("DLFileErrorString"), text(QString::fromLocal8Bit(std::strerror(error))));
        entry.put(QStringLiteral("DLFileErrorCode"), CFType::createCFNumberInt32(deviceErrorOf(error)));
        errors.put(path, entry);
    }
    // Even one failed file is a multi status: the device reads the per-file
    // errors (a missing Status.plist at the start of a backup is expected).
    if (failures.isEmpty()) {
        status(0, QString(), errors);
    } else {
        status(kMultiStatus, QStringLiteral("Multi status"), errors);
    }
}

void Transfer::reportProgress(const CFType& message, const QString& kind) {
    // The overall progress rides on the file requests, as a real number.
    const CFType p = message.at(kind == QLatin1String("DLMessageUploadFiles") ? 2 : 3);
    if (!p.isCFNumber()) {
        return;
    }
    const double v = p.CFNumberDouble(0);
    if (!(v > 0) || v > 100) {
        return;
    }
    const int whole = static_cast<int>(v);
    if (whole != lastPercent) {
        lastPercent = whole;
        percent(whole);
    }
}

int Transfer::run() {
    for (;;) {
        waitForData();
        CFType message;
        QString kind;
        mobiledevice_backup2_recv_msg(socket, message, kind);
        reportProgress(message, kind);
        if (kind == QLatin1String("DLMessageDownloadFiles")) {
            downloadFiles(message.at(1));
        } else if (kind == QLatin1String("DLMessageUploadFiles")) {
            // [kind, {}, progress, total size]: a shorter one is no device's.
            if (message.array_size() < 4) {
                deviceError = QStringLiteral("the device sent a malformed DLMessageUploadFiles");
                return kErrUnknown;
            }
            uploadFiles();
        } else if (kind == QLatin1String("DLMessageGetFreeDiskSpace")) {
            struct statvfs info {};
            if (::statvfs(enc(root).constData(), &info) == 0) {
                status(0, QString(), CFType::createCFNumberUInt64(quint64(info.f_bavail) * quint64(info.f_frsize)));
            } else {
                status(deviceErrorOf(errno), QStringLiteral("statvfs failed"), CFType());
            }
        } else if (kind == QLatin1String("DLMessagePurgeDiskSpace")) {
            status(-1, QStringLiteral("Operation not supported"), CFType::createCFDictionary());
        } else if (kind == QLatin1String("DLContentsOfDirectory")) {
            contentsOfDirectory(message.at(1).CFStringQString());
        } else if (kind == QLatin1String("DLMessageCreateDirectory")) {
            createDirectory(message.at(1).CFStringQString());
        } else if (kind == QLatin1String("DLMessageMoveFiles") || kind == QLatin1String("DLMessageMoveItems")) {
            moveItems(message.at(1));
        } else if (kind == QLatin1String("DLMessageRemoveFiles") || kind == QLatin1String("DLMessageRemoveItems")) {
            removeItems(message.at(1));
        } else if (kind == QLatin1String("DLMessageCopyItem")) {
            copyItem(message.at(1).CFStringQString(), message.at(2).CFStringQString());
        } else if (kind == QLatin1String("DLMessageProcessMessage")) {
            const CFType dict = message.at(1);
            const CFType code = dict.get(QStringLiteral("ErrorCode"));
            // The device's own words go to the user: one line of printable text, cut short.
            deviceWords = dict.get(QStringLiteral("ErrorDescription"))
                              .CFStringQString()
                              .left(kMaxDeviceWords)
                              .simplified()
                              .remove(QRegularExpression(QStringLiteral("[\\p{Cc}\\p{Cf}]")));
            if (!code.isCFNumber()) {
                deviceError = QStringLiteral("the device ended the run without a result");
                return kErrUnknown;
            }
            const long long value = code.CFNumberInt64(-1);
            if (value == 0) {
                deviceWords.clear();
                return 0;
            }
            deviceError = QStringLiteral("the device ended with error %1: %2").arg(value).arg(deviceWords);
            if (value < -1000000 || value > 1000000) {
                return kErrUnknown;
            }
            return driverCodeOf(static_cast<int>(value));
        } else if (kind == QLatin1String("DLMessageDisconnect")) {
            return kErrAttach; // gone without saying how the run ended
        } else {
            status(-1, QStringLiteral("Operation not supported"), CFType());
        }
    }
}

void Transfer::downloadFiles(const CFType& paths) {
    QList<QPair<QString, int>> failures;
    QByteArray block(kChunk + 1, Qt::Uninitialized);
    for (int i = 0; paths.isCFArray() && i < paths.array_size(); ++i) {
        const QString name = paths.at(i).CFStringQString();
        const QByteArray nameBytes = name.toUtf8();
        writeU32(static_cast<quint32>(nameBytes.size()));
        writeBytes(nameBytes.constData(), static_cast<int>(nameBytes.size()));
        const QString path = resolve(name);
        const int fd = path.isEmpty() ? -1 : ::open(enc(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        int error = path.isEmpty() ? EPERM : fd < 0 ? errno : 0;
        for (ssize_t n = 0; fd >= 0;) {
            n = ::read(fd, block.data() + 1, kChunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = n < 0 ? errno : 0;
                break;
            }
            block[0] = kCodeFileData;
            writeU32(static_cast<quint32>(n + 1));
            writeBytes(block.constData(), static_cast<int>(n + 1));
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (error) {
            const QByteArray why = QByteArray(1, kCodeLocalError) + QByteArray(std::strerror(error));
            writeU32(static_cast<quint32>(why.size()));
            writeBytes(why.constData(), static_cast<int>(why.size()));
            failures.append({name, error});
        } else {
            writeU32(1);
            writeBytes(&kCodeSuccess, 1);
        }
    }
    writeU32(0);
    statusFor(failures);
}

void Transfer::uploadFiles() {
    QList<QPair<QString, int>> failures;
    for (;;) {
        // A device may pause for long between files (it waits for its user).
        waitForData();
        const quint32 deviceNameLength = readU32();
        if (deviceNameLength == 0) {
            break;
        }
        if (deviceNameLength > kMaxName) {
            broken("device name too long");
        }
        readBytes(deviceNameLength);
        const quint32 nameLength = readU32();
        if (nameLength == 0 || nameLength > kMaxName) {
            broken("bad file name length");
        }
        const QString name = QString::fromUtf8(readBytes(nameLength));
        const QString path = resolve(name);
        const QString temp = path + QStringLiteral(".mb2tmp");
        int error = path.isEmpty() ? EPERM : 0;
        int fd = -1;
        // A link that breaks mid-file leaves no partial file behind.
        const auto partial = qScopeGuard([&] {
            if (fd >= 0) {
                ::close(fd);
                ::unlink(enc(temp).constData());
            }
        });
        if (!error) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            fd = ::open(enc(temp).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
            error = fd < 0 ? errno : 0;
        }
        bool complete = false;
        for (;;) {
            const quint32 length = readU32();
            if (length == 0 || length > kMaxBlock) {
                broken("bad block length");
            }
            const QByteArray bytes = readBytes(length);
            if (bytes[0] == kCodeFileData) {
                for (qsizetype done = 1; fd >= 0 && done < bytes.size();) {
                    const ssize_t w = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
                    if (w < 0 && errno == EINTR) {
                        continue;
                    }
                    if (w <= 0) {
                        error = w < 0 ? errno : EIO;
                        ::close(fd);
                        fd = -1;
                        ::unlink(enc(temp).constData());
                        break;
                    }
                    done += w;
                }
                continue;
            }
            complete = bytes[0] == kCodeSuccess || bytes[0] == kCodeRemoteError;
            if (bytes[0] == kCodeRemoteError) {
                qWarning("mb2helper: the device could not read %s whole: %s", qPrintable(name),
                         bytes.mid(1, 200).constData());
            } else if (!complete && !error) {
                error = EIO; // an end no device sends
            }
            break;
        }
        if (fd >= 0) {
            // One flush of the whole file system before Status.plist lands is as safe as one per file:
            // the folder is no finished backup until then.
            if (complete && marksFinished(path) && (::syncfs(fd) != 0 || ::fsync(fd) != 0)) {
                error = errno;
            }
            ::close(fd);
            fd = -1;
            if (complete && !error && ::rename(enc(temp).constData(), enc(path).constData()) != 0) {
                error = errno;
            }
            if (error || !complete) {
                ::unlink(enc(temp).constData());
            }
        }
        if (error) {
            failures.append({name, error});
        }
    }
    statusFor(failures);
}

void Transfer::contentsOfDirectory(const QString& name) {
    const QString path = resolve(name);
    if (path.isEmpty()) {
        statusFor({{name, EPERM}});
        return;
    }
    CFType entries = CFType::createCFDictionary();
    QDir dir(path);
    if (!dir.exists()) {
        status(0, QString(), entries); // nothing there yet
        return;
    }
    for (const QFileInfo& fi :
         dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        CFType entry = CFType::createCFDictionary();
        entry.put(QStringLiteral("DLFileType"), text(fi.isSymLink() ? QStringLiteral("DLFileTypeUnknown")
                                                     : fi.isDir()   ? QStringLiteral("DLFileTypeDirectory")
                                                     : fi.isFile()  ? QStringLiteral("DLFileTypeRegular")
                                                                    : QStringLiteral("DLFileTypeUnknown")));
        entry.put(QStringLiteral("DLFileSize"), CFType::createCFNumberUInt64(quint64(fi.size())));
        entry.put(QStringLiteral("DLFileModificationDate"), CFType::createCFDate(fi.lastModified()));
        entries.put(fi.fileName(), entry);
    }
    status(0, QString(), entries);
}

void Transfer::createDirectory(const QString& name) {
    const QString path = resolve(name);
    if (path.isEmpty()) {
        statusFor({{name, EPERM}});
    } else if (errno = 0; !QDir().mkpath(path)) {
        statusFor({{name, errno ? errno : EIO}});
    } else {
        statusFor({});
    }
}

void Transfer::moveItems(const CFType& map) {
    QList<QPair<QString, int>> failures;
    for (const CFType& key : map.isCFDictionary() ? map.dict_keys() : QList<CFType>()) {
        const QString from = resolve(key.CFStringQString());
        const QString to = resolve(map.get(key).CFStringQString());
        if (from.isEmpty() || to.isEmpty()) {
            failures.append({key.CFStringQString(), EPERM});
            continue;
        }
        removeTree(to);
        QDir().mkpath(QFileInfo(to).absolutePath());
        if (marksFinished(to) && !syncedBefore(root)) {
            failures.append({key.CFStringQString(), errno});
        } else if (::rename(enc(from).constData(), enc(to).constData()) != 0) {
            failures.append({key.CFStringQString(), errno});
        }
    }
    statusFor(failures);
}

bool Transfer::marksFinished(const QString& path) const {
    return path == root + QLatin1Char('/') + folder + QStringLiteral("/Status.plist");
}

void Transfer::removeItems(const CFType& paths) {
    QList<QPair<QString, int>> failures;
    for (int i = 0; paths.isCFArray() && i < paths.array_size(); ++i) {
        const QString name = paths.at(i).CFStringQString();
        const QString path = resolve(name);
        if (path.isEmpty()) {
            failures.append({name, EPERM});
        } else if (!removeTree(path) && errno != ENOENT) {
            failures.append({name, errno ? errno : EIO});
        }
    }
    statusFor(failures);
}

bool copyOverlaps(const QString& from, const QString& to) {
    const auto within = [](const QString& inner, const QString& outer) {
        return inner == outer || inner.startsWith(outer + QLatin1Char('/'));
    };
    return within(to, from) || within(from, to);
}

void Transfer::copyItem(const QString& fromName, const QString& toName) {
    const QString from = resolve(fromName);
    const QString to = resolve(toName);
    if (from.isEmpty() || to.isEmpty()) {
        statusFor({{fromName, EPERM}});
        return;
    }
    // Into itself it would copy without end; over a folder holding it, it would remove what it copies.
    if (copyOverlaps(from, to)) {
        statusFor({{fromName, EINVAL}});
        return;
    }
    const QFileInfo source(from);
    if (!source.exists() || source.isSymLink()) {
        statusFor({{fromName, source.isSymLink() ? ELOOP : ENOENT}});
        return;
    }
    removeTree(to);
    bool ok = true;
    if (source.isDir()) {
        ok = QDir().mkpath(to);
        QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (ok && it.hasNext()) {
            const QString item = it.next();
            const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(item);
            ok = it.fileInfo().isSymLink() ? true
                 : it.fileInfo().isDir()   ? QDir().mkpath(target)
                                           : QFile::copy(item, target);
        }
    } else {
        ok = QFile::copy(from, to);
    }
    statusFor(ok ? QList<QPair<QString, int>>() : QList<QPair<QString, int>>{{fromName, EIO}});
}

} // namespace mb2
