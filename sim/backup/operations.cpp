#include "sim/backup/operations.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace simbackup {

namespace {

[[noreturn]] void fail(int code, const QString& why) {
    throw Failure{code, why};
}

QByteArray enc(const QString& path) {
    return QFile::encodeName(path);
}

bool lstatOf(const QString& path, struct stat* st) {
    return ::lstat(enc(path).constData(), st) == 0;
}

QString lockdownString(plist_t dev, const char* key) {
    return QString::fromStdString(sim::stringOf(sim::dictPath(dev, {"Lockdown", "", key})));
}

QString deviceUdid(const Session& s) {
    return QFileInfo(s.deviceDir()).fileName();
}

// Seconds since 2001, as property-list dates count.
plist_t nowDate() {
    return plist_new_date(static_cast<int32_t>(QDateTime::currentSecsSinceEpoch() - 978307200LL), 0);
}

void syncFileSystem(const QString& dir) {
    const int fd = ::open(enc(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

// ---- Reading a backup ----

struct Backup {
    bool mbdb = false;
    bool encrypted = false;
    Keybag bag;
    QList<Record> records;
};

// A manifest database of any size is read whole: the ones we meet are small, and a cap keeps a hostile one out.
constexpr qint64 kMaxManifestFile = 1LL << 30;

QByteArray readWhole(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxManifestFile) {
        fail(kErrBackupFolder, QStringLiteral("cannot read %1").arg(path));
    }
    return f.readAll();
}

// Reads the manifest of bdir; the plain copy of an encrypted Manifest.db goes to plainDir, never into the backup.
Backup readBackup(const QString& bdir, const QString& password, const QTemporaryDir& plainDir) {
    Backup b;
    sim::Plist manifest = readPlist(bdir + QStringLiteral("/Manifest.plist"));
    if (!manifest || plist_get_node_type(manifest.get()) != PLIST_DICT) {
        fail(kErrBackupFolder, QStringLiteral("no readable Manifest.plist in %1").arg(bdir));
    }
    b.encrypted = sim::boolAt(manifest.get(), {"IsEncrypted"}, false);
    if (b.encrypted) {
        uint64_t n = 0;
        plist_t bagNode = sim::dictPath(manifest.get(), {"BackupKeyBag"});
        const char* p =
            bagNode && plist_get_node_type(bagNode) == PLIST_DATA ? plist_get_data_ptr(bagNode, &n) : nullptr;
        if (password.isEmpty() || !p || !Keybag::unlock(QByteArray(p, qsizetype(n)), password.toUtf8(), &b.bag)) {
            fail(kErrPassword, QStringLiteral("the backup password is missing or wrong"));
        }
    }
    b.mbdb = QFileInfo::exists(bdir + QStringLiteral("/Manifest.mbdb"));
    if (b.mbdb) {
        b.records = parseMbdb(readWhole(bdir + QStringLiteral("/Manifest.mbdb")));
        return b;
    }
    QString dbPath = bdir + QStringLiteral("/Manifest.db");
    if (b.encrypted && b.bag.dp) {
        uint64_t n = 0;
        plist_t mkNode = sim::dictPath(manifest.get(), {"ManifestKey"});
        const char* p = mkNode && plist_get_node_type(mkNode) == PLIST_DATA ? plist_get_data_ptr(mkNode, &n) : nullptr;
        const QByteArray key = p ? b.bag.unwrap(QByteArray(p, qsizetype(n))) : QByteArray();
        bool ok = false;
        QByteArray plain =
            key.isEmpty() ? QByteArray() : cbcDecrypt(key, readWhole(dbPath), QByteArray(16, 0), false, &ok);
        // Stored with or without a padding block: a database alone is a whole number of pages.
        if (ok && plain.size() % 512 != 0) {
            const int pad = plain.isEmpty() ? 0 : static_cast<unsigned char>(plain.back());
            ok = pad >= 1 && pad <= 16 && plain.endsWith(QByteArray(pad, char(pad)));
            plain.chop(ok ? pad : 0);
        }
        if (!ok || !plain.startsWith(QByteArray("SQLite format 3\0", 16))) {
            fail(kErrBackupFolder, QStringLiteral("Manifest.db does not decrypt with the manifest key"));
        }
        dbPath = plainDir.filePath(QStringLiteral("Manifest.db"));
        QFile out(dbPath);
        if (!out.open(QIODevice::WriteOnly) || out.write(plain) != plain.size() || !out.flush()) {
            fail(kErrUnknown, QStringLiteral("cannot write the plain manifest copy"));
        }
    } else if (!QFileInfo::exists(dbPath)) {
        fail(kErrBackupFolder, QStringLiteral("no manifest in %1").arg(bdir));
    }
    b.records = readManifestDb(dbPath, password.toUtf8());
    return b;
}

// ---- Backup ----

void scanInto(const QString& domain, const QString& rel, const QString& full, QList<Record>& out,
              QHash<QString, QString>& sources, qint64& total) {
    struct stat st {};
    if (!lstatOf(full, &st)) {
        return; // vanished while we looked
    }
    Record r;
    r.domain = domain;
    r.path = rel;
    r.inode = st.st_ino;
    r.mtime = r.birth = static_cast<int32_t>(st.st_mtime);
    if (S_ISLNK(st.st_mode)) {
        r.mode = kModeLink;
        char buf[4096];
        const ssize_t n = ::readlink(enc(full).constData(), buf, sizeof buf);
        if (n <= 0) {
            return;
        }
        r.target = QByteArray(buf, n);
    } else if (S_ISREG(st.st_mode)) {
        r.mode = kModeFile;
        r.size = st.st_size;
        r.protection = r.fileId().left(2).toInt(nullptr, 16) % 4 + 1;
        sources.insert(r.fileId(), full);
        total += r.size;
    } else if (!S_ISDIR(st.st_mode)) {
        return; // sockets and the like are not data
    }
    out.append(r);
    if (S_ISDIR(st.st_mode)) {
        const QStringList names =
            QDir(full).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
        for (const QString& name : names) {
            scanInto(domain, rel.isEmpty() ? name : rel + QLatin1Char('/') + name, full + QLatin1Char('/') + name, out,
                     sources, total);
        }
    }
}

void writeStatus(const QString& bdir, const char* state) {
    sim::Plist status(plist_new_dict());
    plist_dict_set_item(status.get(), "IsFullBackup", plist_new_bool(1));
    plist_dict_set_item(status.get(), "Version", plist_new_string("3.3"));
    plist_dict_set_item(status.get(), "UUID",
                        plist_new_string(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toUtf8()));
    plist_dict_set_item(status.get(), "Date", nowDate());
    plist_dict_set_item(status.get(), "BackupState", plist_new_string("new"));
    plist_dict_set_item(status.get(), "SnapshotState", plist_new_string(state));
    writePlistAtomic(bdir + QStringLiteral("/Status.plist"), status.get(), true);
}

QStringList userApps(const QString& deviceDir) {
    QStringList ids;
    sim::Plist apps = readPlist(deviceDir + QStringLiteral("/apps.plist"));
    const uint32_t n = apps && plist_get_node_type(apps.get()) == PLIST_ARRAY ? plist_array_get_size(apps.get()) : 0;
    for (uint32_t i = 0; i < n; ++i) {
        plist_t app = plist_array_get_item(apps.get(), i);
        const std::string type = sim::stringOf(sim::dictPath(app, {"ApplicationType"}));
        const std::string id = sim::stringOf(sim::dictPath(app, {"CFBundleIdentifier"}));
        if (!id.empty() && (type.empty() || type == "User")) {
            ids.append(QString::fromStdString(id));
        }
    }
    return ids;
}

void writeDescriptions(const Session& s, const QString& bdir, bool encrypted, bool mbdb, const Keybag& bag,
                       const QByteArray& manifestKey) {
    plist_t dev = s.device();
    const QStringList apps = userApps(s.deviceDir());
    sim::Plist info(plist_new_dict());
    auto set = [](plist_t d, const char* key, const QString& v) {
        plist_dict_set_item(d, key, plist_new_string(v.toUtf8().constData()));
    };
    set(info.get(), "Build Version", lockdownString(dev, "BuildVersion"));
    set(info.get(), "Device Name", lockdownString(dev, "DeviceName"));
    set(info.get(), "Display Name", lockdownString(dev, "DeviceName"));
    set(info.get(), "GUID", QUuid::createUuid().toString(QUuid::Id128).toUpper());
    plist_t installed = plist_new_array();
    for (const QString& id : apps) {
        plist_array_append_item(installed, plist_new_string(id.toUtf8().constData()));
    }
    plist_dict_set_item(info.get(), "Installed Applications", installed);
    plist_dict_set_item(info.get(), "Last Backup Date", nowDate());
    set(info.get(), "Product Type", lockdownString(dev, "ProductType"));
    set(info.get(), "Product Version", lockdownString(dev, "ProductVersion"));
    set(info.get(), "Serial Number", lockdownString(dev, "SerialNumber"));
    set(info.get(), "Target Identifier", deviceUdid(s));
    set(info.get(), "Target Type", QStringLiteral("Device"));
    set(info.get(), "Unique Identifier", deviceUdid(s).toUpper());
    writePlistAtomic(bdir + QStringLiteral("/Info.plist"), info.get(), false);

    sim::Plist manifest(plist_new_dict());
    plist_t lockdown = plist_new_dict();
    for (const char* key : {"BuildVersion", "DeviceName", "ProductType", "ProductVersion", "SerialNumber"}) {
        set(lockdown, key, lockdownString(dev, key));
    }
    set(lockdown, "UniqueDeviceID", deviceUdid(s));
    plist_dict_set_item(manifest.get(), "Lockdown", lockdown);
    plist_t applications = plist_new_dict();
    for (const QString& id : apps) {
        plist_t a = plist_new_dict();
        set(a, "CFBundleIdentifier", id);
        set(a, "CFBundleVersion", QStringLiteral("1.0"));
        set(a, "ContainerContentClass", QStringLiteral("Data/Application"));
        plist_dict_set_item(applications, id.toUtf8().constData(), a);
    }
    plist_dict_set_item(manifest.get(), "Applications", applications);
    plist_dict_set_item(manifest.get(), "IsEncrypted", plist_new_bool(encrypted ? 1 : 0));
    plist_dict_set_item(manifest.get(), "Date", nowDate());
    plist_dict_set_item(manifest.get(), "Version", plist_new_string(mbdb ? "9.1" : "10.0"));
    plist_dict_set_item(manifest.get(), "WasPasscodeSet", plist_new_bool(0));
    if (encrypted) {
        plist_dict_set_item(manifest.get(), "BackupKeyBag", plist_new_data(bag.blob.constData(), bag.blob.size()));
    }
    if (!manifestKey.isEmpty()) {
        plist_dict_set_item(manifest.get(), "ManifestKey", plist_new_data(manifestKey.constData(), manifestKey.size()));
    }
    writePlistAtomic(bdir + QStringLiteral("/Manifest.plist"), manifest.get(), true);
}

bool isDataName(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^[0-9a-f]{40}(\\.sbtmp)?$"));
    return re.match(name).hasMatch();
}

// Data files no record refers to any more (and temporaries of an interrupted run), in either layout.
void removeStale(const QString& bdir, const QSet<QString>& keep) {
    QDir d(bdir);
    for (const QString& name : d.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if ((isDataName(name) && !keep.contains(name)) || name.endsWith(QLatin1String(".sbtmp"))) {
            d.remove(name);
        }
    }
    static const QRegularExpression sub(QStringLiteral("^[0-9a-f]{2}$"));
    for (const QString& name : d.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!sub.match(name).hasMatch()) {
            continue;
        }
        QDir s(d.filePath(name));
        for (const QString& f : s.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            if (isDataName(f) && !keep.contains(f)) {
                s.remove(f);
            }
        }
        d.rmdir(name); // only when empty
    }
}

// ---- Restore ----

bool safeName(const QString& part) {
    return !part.isEmpty() && part != QLatin1String(".") && part != QLatin1String("..") &&
           !part.contains(QLatin1Char('/')) && !part.contains(QChar(0));
}

// A record's place below files/: its domain and path components, or empty when it would leave files/.
QStringList placeOf(const Record& r) {
    if (!safeName(r.domain)) {
        return {};
    }
    QStringList parts{r.domain};
    if (!r.path.isEmpty()) {
        const QStringList rel = r.path.split(QLatin1Char('/'));
        for (const QString& p : rel) {
            if (!safeName(p)) {
                return {};
            }
        }
        parts += rel;
    }
    return parts;
}

// Creates the folders above the last part inside root, refusing to pass through anything but a real folder.
// `made`: the folder the previous call ended in; records come sorted, so most
// files go into the folder the one before went into.
QString makeParents(const QString& root, const QStringList& parts, QString* made) {
    const QString parent = parts.size() > 1 ? root + QLatin1Char('/') + parts.mid(0, parts.size() - 1).join('/') : root;
    if (parent == *made) {
        return parent + QLatin1Char('/') + parts.last();
    }
    QString cur = root;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        cur += QLatin1Char('/') + parts[i];
        struct stat st {};
        if (!lstatOf(cur, &st)) {
            if (::mkdir(enc(cur).constData(), 0755) != 0) {
                fail(errno == ENOSPC ? kErrNoSpace : kErrBackupFolder, QStringLiteral("cannot create %1").arg(cur));
            }
        } else if (!S_ISDIR(st.st_mode)) {
            fail(kErrBackupFolder, QStringLiteral("%1 is not a folder").arg(parts.mid(0, i + 1).join('/')));
        }
    }
    *made = cur;
    return cur + QLatin1Char('/') + parts.last();
}

QByteArray emptySha1() {
    return QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha1);
}

// The size of the device's current file when it is a regular file inside files/ whose size fits the stored data
// (equal, or 1 to 16 bytes less for encrypted data); -1 otherwise.
// Whether each folder of the device lies inside files/ once links are resolved, asked once per folder.
class InsideFiles {
public:
    explicit InsideFiles(const QString& filesDir) : canonFiles(QFileInfo(filesDir).canonicalFilePath()) {}
    bool holds(const QString& devicePath) {
        const QString folder = QFileInfo(devicePath).path();
        auto it = folders.constFind(folder);
        if (it == folders.constEnd()) {
            const QString canon = QFileInfo(folder).canonicalFilePath();
            it = folders.insert(folder, !canonFiles.isEmpty() &&
                                            (canon == canonFiles || canon.startsWith(canonFiles + QLatin1Char('/'))));
        }
        return *it;
    }

private:
    QString canonFiles;
    QHash<QString, bool> folders;
};

qint64 sameSizeOnDevice(InsideFiles& inside, const QString& devicePath, const QString& data, bool encrypted) {
    struct stat dev {
    }, st{};
    if (!lstatOf(devicePath, &dev) || !S_ISREG(dev.st_mode)) {
        return -1;
    }
    const qint64 stored = data.isEmpty() ? 0 : (lstatOf(data, &st) ? st.st_size : -1);
    const qint64 pad = stored - dev.st_size;
    if (stored < 0 || (encrypted ? pad < 1 || pad > 16 : pad != 0)) {
        return -1;
    }
    // The file itself is no link (lstat said regular): its folder decides.
    return inside.holds(devicePath) ? dev.st_size : -1;
}

} // namespace

Session::Session(const QString& deviceDir, bool restore, std::function<bool(plist_t)> send)
    : dir(deviceDir), restoring(restore), sendFn(std::move(send)) {
    devicePlist = readPlist(dir + QStringLiteral("/device.plist"));
    plist_t faults = sim::dictPath(devicePlist.get(), {"Sim", "Faults"});
    const std::string only = sim::stringOf(sim::dictPath(faults, {"errorCodeOperation"}));
    if (only.empty() || only == (restore ? "restore" : "backup")) {
        errorCode = sim::faultCode(sim::dictPath(faults, {"errorCode"}));
    }
    failAfter = errorCode ? std::max<qint64>(0, sim::intAt(faults, {"FailAfterBytes"}, 0)) : -1;
    unplugAfter = sim::intAt(faults, {"UnplugAfterBytes"}, -1);
    dieAfter = sim::intAt(faults, {"HelperDiesAfterBytes"}, -1);
    fileDelayMs = static_cast<int>(std::clamp<int64_t>(sim::intAt(faults, {"TransferDelayMs"}, 0), 0, 60000));
}

void Session::reportPercent(int percent) {
    if (percent == lastPercent) {
        return;
    }
    lastPercent = percent;
    sim::Plist msg(plist_new_dict());
    plist_dict_set_item(msg.get(), "AMSBackupPercentageKey", plist_new_uint(static_cast<uint64_t>(percent)));
    if (!sendFn(msg.get())) {
        fail(kErrUnknown, QStringLiteral("the driver closed its pipe"));
    }
}

void Session::begin(qint64 totalBytes) {
    total = totalBytes;
    done = 0;
    sincePlugCheck.start();
    reportPercent(0);
    advance(0);
}

void Session::advance(qint64 bytes) {
    done += bytes;
    if (link && bytes > 0) {
        link->waitFor(static_cast<size_t>(bytes), false);
    }
    reportPercent(total > 0 ? static_cast<int>(std::min<qint64>(99, done * 100 / total)) : 0);
    if (selfKill && dieAfter >= 0 && done >= dieAfter) {
        ::raise(SIGKILL);
    }
    if (unplugAfter >= 0 && done >= unplugAfter) {
        sim::DeviceLock lock(dir);
        sim::Plist p = readPlist(dir + QStringLiteral("/device.plist"));
        if (p) {
            sim::setPlugged(p.get(), false);
            sim::writePlistFile(dir + QStringLiteral("/device.plist"), p.get());
        }
        fail(kErrAttach, QStringLiteral("the device was unplugged during the transfer"));
    }
    if (failAfter >= 0 && done >= failAfter) {
        fail(errorCode, QStringLiteral("injected fault Sim.Faults.errorCode"));
    }
    checkConnected(false);
}

void Session::nextFile() {
    if (link) {
        link->waitFor(0, true);
    }
    if (fileDelayMs > 0) {
        QThread::msleep(static_cast<unsigned long>(fileDelayMs));
    }
    checkConnected(fileDelayMs > 0);
}

void Session::checkConnected(bool force) {
    // device.plist is re-read at most a few times a second, not per chunk.
    if (!force && sincePlugCheck.elapsed() < 200) {
        return;
    }
    sincePlugCheck.restart();
    sim::Plist p = readPlist(dir + QStringLiteral("/device.plist"));
    if (!p || !sim::boolAt(p.get(), {"Sim", "Connected"}, true)) {
        fail(kErrAttach, QStringLiteral("the device was unplugged during the transfer"));
    }
}

void runBackup(Session& s, const QString& rootDir) {
    plist_t dev = s.device();
    const bool encrypt = sim::boolAt(dev, {"Lockdown", "com.apple.mobile.backup", "WillEncrypt"}, false);
    const QString password = QString::fromStdString(sim::stringOf(sim::dictPath(dev, {"Sim", "BackupPassword"})));
    if (encrypt && password.isEmpty()) {
        fail(kErrUnknown, QStringLiteral("WillEncrypt is set but Sim.BackupPassword is empty"));
    }
    const QStringList version = lockdownString(dev, "ProductVersion").split(QLatin1Char('.'));
    const int major = version.value(0).toInt(), minor = version.value(1).toInt();
    const bool mbdb = major < 10;
    const bool dp = encrypt && !mbdb && (major > 10 || minor >= 2);
    const QString bdir = rootDir + QLatin1Char('/') + deviceUdid(s);
    if (!QDir().mkpath(bdir)) {
        fail(kErrBackupFolder, QStringLiteral("cannot create %1").arg(bdir));
    }

    QList<Record> records;
    QHash<QString, QString> sources;
    qint64 total = 0;
    const QString filesDir = s.deviceDir() + QStringLiteral("/files");
    const QStringList domains = QDir(filesDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& domain : domains) {
        scanInto(domain, QString(), filesDir + QLatin1Char('/') + domain, records, sources, total);
    }
    s.begin(total);

    // What a finished earlier backup of the same form and password holds can be kept.
    QHash<QString, Record> previous;
    Keybag bag;
    bool reuse = false;
    {
        sim::Plist status = readPlist(bdir + QStringLiteral("/Status.plist"));
        if (sim::stringOf(sim::dictPath(status.get(), {"SnapshotState"})) == "finished") {
            try {
                QTemporaryDir plain;
                Backup old = readBackup(bdir, password, plain);
                reuse = old.mbdb == mbdb && old.encrypted == encrypt && (!encrypt || old.bag.dp == dp);
                if (reuse) {
                    bag = old.bag;
                    for (const Record& r : old.records) {
                        previous.insert(r.fileId(), r);
                    }
                }
            } catch (const Failure&) {
                reuse = false; // unreadable or another password: start afresh
            }
        }
    }
    // From here on the folder no longer describes a finished backup until the end.
    writeStatus(bdir, "uploading");
    if (encrypt && !reuse) {
        bag = Keybag::create(password.toUtf8(), dp);
    }

    QSet<QString> keep;
    for (Record& r : records) {
        if (!r.isFile()) {
            continue;
        }
        s.nextFile();
        const QString id = r.fileId();
        const QString src = sources.value(id);
        const QString dst = dataPath(bdir, id, mbdb);
        keep.insert(id);
        const auto old = previous.constFind(id);
        if (old != previous.constEnd() && old->isFile() && old->size == r.size && old->mtime == r.mtime) {
            const QByteArray key = encrypt ? bag.unwrap(old->wrappedKey) : QByteArray();
            QByteArray stored;
            if (!encrypt || !key.isEmpty()) {
                try {
                    stored = copyDecrypting(dst, QString(), key, nullptr);
                } catch (const Failure&) {
                }
            }
            if (!stored.isEmpty() && stored == fileSha1(src)) {
                r.wrappedKey = old->wrappedKey;
                r.protection = old->protection;
                r.digest = mbdb ? stored : QByteArray();
                s.advance(r.size);
                continue;
            }
        }
        if (!mbdb) {
            QDir().mkpath(QFileInfo(dst).absolutePath());
        }
        QByteArray key;
        if (encrypt) {
            key = randomBytes(32);
            r.wrappedKey = bag.wrap(r.protection, key);
        }
        // Written in place: Status.plist says "uploading" until everything is on disk, and only a
        // finished backup is restored or built on, so a torn data file is never used. The old file is
        // unlinked first, never truncated: another name (a restore point) may share its content.
        if (::unlink(enc(dst).constData()) != 0 && errno != ENOENT) {
            fail(kErrBackupFolder, QStringLiteral("cannot replace %1").arg(dst));
        }
        const QByteArray sha = copyEncrypting(src, dst, key, [&s](qint64 n) { s.advance(n); });
        if (mbdb) {
            r.digest = sha;
        }
    }

    QByteArray manifestKey;
    const QString other = bdir + (mbdb ? QStringLiteral("/Manifest.db") : QStringLiteral("/Manifest.mbdb"));
    QFile::remove(other);
    if (mbdb) {
        writeFileAtomic(bdir + QStringLiteral("/Manifest.mbdb"), mbdbBytes(records));
    } else {
        // The plain database is built outside the backup folder.
        QTemporaryDir plainDir;
        if (!plainDir.isValid()) {
            fail(kErrUnknown, QStringLiteral("no private temporary folder"));
        }
        const QString plainPath = plainDir.filePath(QStringLiteral("Manifest.db"));
        writeManifestDb(plainPath, records);
        QByteArray bytes = readWhole(plainPath);
        if (dp) {
            const QByteArray key = randomBytes(32);
            manifestKey = bag.wrap(4, key);
            bytes = cbcEncrypt(key, bytes, QByteArray(16, 0));
        }
        writeFileAtomic(bdir + QStringLiteral("/Manifest.db"), bytes);
    }
    removeStale(bdir, keep);
    writeDescriptions(s, bdir, encrypt, mbdb, bag, manifestKey);
    syncFileSystem(bdir);
    writeStatus(bdir, "finished");
    s.reportPercent(100);
}

void runRestore(Session& s, const QString& rootDir, const QString& password) {
    const QString bdir = rootDir + QLatin1Char('/') + deviceUdid(s);
    QTemporaryDir plainDir;
    if (!plainDir.isValid()) {
        fail(kErrUnknown, QStringLiteral("no private temporary folder"));
    }
    // An interrupted backup is never restored.
    sim::Plist status = readPlist(bdir + QStringLiteral("/Status.plist"));
    if (sim::stringOf(sim::dictPath(status.get(), {"SnapshotState"})) != "finished") {
        fail(kErrBackupFolder, QStringLiteral("the backup in %1 is not finished").arg(bdir));
    }
    Backup b = readBackup(bdir, password, plainDir);
    std::sort(b.records.begin(), b.records.end(), [](const Record& x, const Record& y) {
        return x.domain != y.domain ? x.domain < y.domain : x.path < y.path;
    });
    qint64 total = 0;
    for (const Record& r : b.records) {
        if (placeOf(r).isEmpty()) {
            fail(kErrBackupFolder, QStringLiteral("record %1-%2 points outside the device").arg(r.domain, r.path));
        }
        // Sizes come from the manifest: bounded, so that a hostile one cannot overflow the sum.
        total = std::min<qint64>(total + (r.isFile() ? std::clamp<qint64>(r.size, 0, 1LL << 40) : 0), 1LL << 62);
    }

    const QString filesDir = s.deviceDir() + QStringLiteral("/files");
    const QString oldDir = s.deviceDir() + QStringLiteral("/.files-old");
    // A restore killed between the two renames of the fallback swap left the device's tree aside.
    if (!QFileInfo::exists(filesDir) && QFileInfo::exists(oldDir)) {
        ::rename(enc(oldDir).constData(), enc(filesDir).constData());
    }
    for (const QString& name :
         QDir(s.deviceDir())
             .entryList({QStringLiteral(".files-restore-*")}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        QDir(s.deviceDir() + QLatin1Char('/') + name).removeRecursively();
    }
    QDir(oldDir).removeRecursively();
    const QString staging = s.deviceDir() + QStringLiteral("/.files-restore-%1").arg(::getpid());
    if (::mkdir(enc(staging).constData(), 0755) != 0) {
        fail(kErrBackupFolder, QStringLiteral("cannot create %1").arg(staging));
    }
    try {
        s.begin(total);
        InsideFiles inside(filesDir);
        QString made;
        for (const Record& r : b.records) {
            const QStringList parts = placeOf(r);
            const QString dst = makeParents(staging, parts, &made);
            struct stat st {};
            const bool exists = lstatOf(dst, &st);
            if (r.isDir()) {
                if (exists ? !S_ISDIR(st.st_mode) : ::mkdir(enc(dst).constData(), 0755) != 0) {
                    fail(kErrBackupFolder, QStringLiteral("cannot create the folder %1").arg(parts.join('/')));
                }
                continue;
            }
            if (exists) {
                fail(kErrBackupFolder, QStringLiteral("%1 is listed twice").arg(parts.join('/')));
            }
            if (r.isLink()) {
                if (r.target.isEmpty() || ::symlink(r.target.constData(), enc(dst).constData()) != 0) {
                    fail(kErrBackupFolder, QStringLiteral("cannot create the link %1").arg(parts.join('/')));
                }
                continue;
            }
            s.nextFile();
            const QString data = dataPath(bdir, r.fileId(), b.mbdb);
            const QByteArray key = b.encrypted && !r.wrappedKey.isEmpty() ? b.bag.unwrap(r.wrappedKey) : QByteArray();
            if (b.encrypted && !r.wrappedKey.isEmpty() && key.isEmpty()) {
                fail(kErrBackupFolder, QStringLiteral("the key of %1 does not unwrap").arg(parts.join('/')));
            }
            const QString devicePath = filesDir + QLatin1Char('/') + parts.join(QLatin1Char('/'));
            const bool stored = QFileInfo::exists(data);
            if (!stored && r.size != 0) {
                fail(kErrBackupFolder, QStringLiteral("the data of %1 is missing").arg(parts.join('/')));
            }
            // An unchanged file keeps the device's own copy (same inode and times): compared before anything is
            // written, so a restore of an unchanged backup writes no data.
            const qint64 deviceSize = sameSizeOnDevice(inside, devicePath, stored ? data : QString(), !key.isEmpty());
            if (deviceSize >= 0) {
                const QByteArray sha = stored ? copyDecrypting(data, QString(), key, nullptr) : emptySha1();
                if (r.digest.size() == 20 && r.digest != sha) {
                    fail(kErrBackupFolder, QStringLiteral("Digest didn't match for %1").arg(parts.join('/')));
                }
                if (fileSha1(devicePath) == sha && ::link(enc(devicePath).constData(), enc(dst).constData()) == 0) {
                    s.advance(deviceSize);
                    continue;
                }
            }
            const QByteArray sha = stored ? copyDecrypting(data, dst, key, [&s](qint64 n) { s.advance(n); })
                                          : copyDecrypting(QStringLiteral("/dev/null"), dst, QByteArray(), nullptr);
            if (r.digest.size() == 20 && r.digest != sha) {
                fail(kErrBackupFolder, QStringLiteral("Digest didn't match for %1").arg(parts.join('/')));
            }
            const struct timespec times[2] = {{r.mtime, 0}, {r.mtime, 0}};
            ::utimensat(AT_FDCWD, enc(dst).constData(), times, AT_SYMLINK_NOFOLLOW);
        }
        syncFileSystem(staging);
        if (::renameat2(AT_FDCWD, enc(filesDir).constData(), AT_FDCWD, enc(staging).constData(), RENAME_EXCHANGE) !=
            0) {
            if (QFileInfo::exists(filesDir) && ::rename(enc(filesDir).constData(), enc(oldDir).constData()) != 0) {
                fail(kErrBackupFolder, QStringLiteral("cannot move the device's files aside"));
            }
            if (::rename(enc(staging).constData(), enc(filesDir).constData()) != 0) {
                ::rename(enc(oldDir).constData(), enc(filesDir).constData());
                fail(kErrBackupFolder, QStringLiteral("cannot move the restored files in place"));
            }
        }
    } catch (...) {
        QDir(staging).removeRecursively();
        throw;
    }
    // After the exchange the staging name holds the old tree, removed without the file
    // information QDir gathers for every entry.
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(enc(staging).toStdString()), ignored);
    std::filesystem::remove_all(std::filesystem::path(enc(oldDir).toStdString()), ignored);
    s.reportPercent(100);
}

} // namespace simbackup
