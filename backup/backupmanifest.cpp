#include "backup/backupmanifest.h"

#include "app/progressreporter.h"
#include "backup/backupcrypto.h"
#include "backup/byteorder.h"
#include "backup/fileutil.h"
#include "backup/iositunesbksetpasswordthread.h"
#include "device/cftype.h"
#include "device/mobiledevice_loader.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <utime.h>
#include <vector>

namespace {

constexpr int kWrappedKeyPrefix = 4;
constexpr int kEncryptBufferSize = 9216; // one chunk plus room for padding
constexpr quint16 kSyntheticFolderMode = 0x4000;
constexpr int kSqliteHeaderSize = 100;
constexpr int kSqlitePageSizeOffset = 16;
constexpr int kMinSqlitePageSize = 512;

[[noreturn]] void throwText(const QString& text) {
    throw std::runtime_error(text.toUtf8().toStdString());
}

void setFileTimes(const QString& path, qint32 seconds) {
    struct utimbuf times;
    times.actime = seconds;
    times.modtime = seconds;
    ::utime(QFile::encodeName(path).constData(), &times);
}

void ensureParentFolder(const QString& path) {
    const QString parent = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(parent)) {
        QDir().mkpath(parent);
    }
}

const QString kMergedDomains = QStringLiteral(
    "=Domain=MediaDomain=RootDomain=HomeDomain=SystemPreferencesDomain=MobileDeviceDomain=WirelessDomain="
    "DatabaseDomain=CameraRollDomain=HealthDomain=KeychainDomain=KeyboardDomain=ManagedPreferencesDomain=");

// The tree's nodes by path, without a copy of every path: a node is found by
// its parent's node and its own name (the node's name string, shared). The
// rare path whose parent path has no node is kept whole and checked first.
// find(P) gives exactly the node inserted under P, or null.
class NodesByPath {
public:
    using Node = BackupManifest::_FileNode;

    explicit NodesByPath(const Node* root) : m_root(root) {}

    Node* find(QStringView path) const {
        // Walks the prefixes left to right: long paths cost no stack.
        const Node* parent = m_root;
        Node* node = nullptr;
        qsizetype start = 0;
        while (true) {
            const qsizetype slash = path.indexOf(u'/', start);
            const qsizetype end = slash < 0 ? path.size() : slash;
            node = whole(path.first(end));
            if (!node) {
                node = parent ? child(parent, path.sliced(start, end - start)) : nullptr;
            }
            if (slash < 0) {
                return node;
            }
            parent = node;
            start = slash + 1;
        }
    }

    // path has no node yet; name is the node's name when it is path's last part.
    void insert(const QString& path, const QString& name, Node* node) {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        const Node* parent = slash < 0 ? m_root : find(QStringView(path).first(slash));
        if (!parent) {
            m_whole.insert(path, node);
            return;
        }
        const QStringView last = QStringView(path).sliced(slash + 1);
        m_children.insert(Key{parent, last == name ? name : last.toString()}, node);
    }

private:
    struct Key {
        const Node* parent;
        QString name;
        bool operator==(const Key&) const = default;
        friend size_t qHash(const Key& k, size_t seed) { return qHashMulti(seed, k.parent, k.name); }
    };

    Node* child(const Node* parent, QStringView name) const {
        // Looked up without copying the name.
        return m_children.value(Key{parent, QString::fromRawData(name.data(), name.size())}, nullptr);
    }
    Node* whole(QStringView path) const {
        if (m_whole.isEmpty()) {
            return nullptr;
        }
        return m_whole.value(path.toString(), nullptr);
    }

    const Node* m_root;
    QHash<Key, Node*> m_children;
    QHash<QString, Node*> m_whole;
};

struct WellKnown {
    const BackupManifest::_FileNode* BackupManifest::*member;
    const char* path;
};

} // namespace

BackupManifest::_FileNode::_FileNode(_FileNode* parent_, MBDBParser::_MBDBItem item_, const QString& name_)
    : name(name_), item(std::move(item_)), parent(parent_) {}

BackupManifest::_FileNode::~_FileNode() {
    qDeleteAll(children);
}

BackupManifest::BackupManifest(const QString& dirPath, QObject* parent)
    : QObject(parent), dir(dirPath), root(nullptr, MBDBParser::_MBDBItem(), QString()) {}

BackupManifest::~BackupManifest() {
    secureWipe(manifestDbKey);
    for (auto it = keybag.classKeys.begin(); it != keybag.classKeys.end(); ++it) {
        if (it->contains(QStringLiteral("KEY"))) {
            secureWipe((*it)[QStringLiteral("KEY")]);
        }
    }
}

void BackupManifest::readManifestInfo() {
    if (!mobiledevice_loader_is_corefoundation_loaded()) {
        throwText(tr("Failed to load (Apple Mobile Device) framework."));
    }
    const QString path = dir.absoluteFilePath(QStringLiteral("Manifest.plist"));
    QFile file(path);
    if (!file.exists()) {
        throwText(QStringLiteral("Cannot find ") + path);
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throwText(file.errorString());
    }
    const CFType plist = CFType::createCFPropertyList(file.readAll());
    const CFType lockdown = plist.get(QStringLiteral("Lockdown"));
    auto lockdownString = [&](const char* key) { return lockdown.get(QString::fromLatin1(key)).CFStringQString(); };

    info = _InfoPlist();
    info.uniqueDeviceId = lockdownString("UniqueDeviceID");
    info.deviceName = lockdownString("DeviceName");
    info.date = plist.get(QStringLiteral("Date")).CFDateToDateTime();
    info.productType = lockdownString("ProductType");
    info.productVersion = lockdownString("ProductVersion");
    info.serialNumber = lockdownString("SerialNumber");
    info.isEncrypted = plist.get(QStringLiteral("IsEncrypted")).CFNumberBool(false);
    info.backupKeyBag = plist.get(QStringLiteral("BackupKeyBag")).CFDataBytes();
    info.manifestKey = plist.get(QStringLiteral("ManifestKey")).CFDataBytes();

    const QString dirName = dir.dirName();
    if (!info.uniqueDeviceId.isEmpty() && dirName.contains(info.uniqueDeviceId, Qt::CaseSensitive)) {
        displayName = QString(dirName).replace(info.uniqueDeviceId, info.deviceName, Qt::CaseSensitive);
    } else {
        displayName = info.deviceName + QLatin1Char('-') + dirName;
    }

    const QFileInfo status(dir.absoluteFilePath(QStringLiteral("Status.plist")));
    if (status.exists() && status.isFile()) {
        info.date = status.lastModified();
    }
}

bool BackupManifest::setPasscode(const QString& password) {
    // The worker is deleted by the runner; its verdict is copied out as it finishes.
    auto verdict = std::make_shared<std::atomic<bool>>(false);
    runWithProgress(
        [this, password, verdict](ProgressReporter& reporter) -> QThread* {
            auto* worker = new IOSiTunesBKSetPasswordThread(*this, password, reporter, nullptr);
            QObject::connect(
                worker, &QThread::finished, worker, [worker, verdict]() { verdict->store(worker->result); },
                Qt::DirectConnection);
            return worker;
        },
        false);
    return verdict->load();
}

bool BackupManifest::setPasscodeNoUIThrow(const QString& password) {
    keybag = parseKeybag(info.backupKeyBag);
    const QByteArray passwordBytes = password.toUtf8();
    if (!unlockWithPasscode(passwordBytes, keybag)) {
        return false;
    }
    passcode = password;
    if (!keybag.attributes.contains(QStringLiteral("DPIC")) || !keybag.attributes.contains(QStringLiteral("DPSL"))) {
        return true;
    }
    const QString decryptedPath = dir.absoluteFilePath(QStringLiteral("Manifest-decrypted.db"));
    decryptedManifestDbPath = decryptedPath;
    const QByteArray wrapped = info.manifestKey.mid(kWrappedKeyPrefix);
    for (auto it = keybag.classKeys.constBegin(); it != keybag.classKeys.constEnd(); ++it) {
        QByteArray key = unwrapKeyForClass(keybag, it.key(), wrapped);
        if (key.isEmpty()) {
            continue;
        }
        // A journal left from an earlier copy would be replayed into the fresh one.
        QFile::remove(decryptedPath + QStringLiteral("-wal"));
        QFile::remove(decryptedPath + QStringLiteral("-shm"));
        QFile::remove(decryptedPath + QStringLiteral("-journal"));
        // The database may be stored with or without a padding block; keep whichever it had.
        manifestDbPadded =
            decryptDatabaseFileThrow(key, dir.absoluteFilePath(QStringLiteral("Manifest.db")), decryptedPath);
        manifestDbKey = key;
        secureWipe(key);
        break;
    }
    return true;
}

QString BackupManifest::manifestDbPathInUse() const {
    return manifestDbKey.isEmpty() ? dir.absoluteFilePath(QStringLiteral("Manifest.db")) : decryptedManifestDbPath;
}

QByteArray BackupManifest::fileKeyFor(const MBDBParser::_MBDBItem& item) const {
    if (!info.isEncrypted) {
        return {};
    }
    return unwrapKeyForClass(keybag, item.protectionClass, item.encryptionKey.data.mid(kWrappedKeyPrefix));
}

void BackupManifest::copyItemThrow(const MBDBParser::_MBDBItem& item, const QString& destPath, void* context,
                                   BackupProgressCallback callback) const {
    const QString src = MBDBParser::getBKFilePath(dir, item.backupFileName(), false);
    QByteArray key = fileKeyFor(item);
    if (!key.isEmpty()) {
        decryptFileThrow(key, src, destPath, context, callback);
        secureWipe(key);
    } else {
        QFile in(src);
        if (!in.open(QIODevice::ReadOnly)) {
            throwText(tr("can not open %1. %2").arg(src, in.errorString()));
        }
        ensureParentFolder(destPath);
        QFile out(destPath);
        if (!fileutil::openPrivateForWrite(out)) {
            throwText(tr("can not create %1. %2").arg(destPath, fileutil::openError(out)));
        }
        const qint64 total = in.size();
        qint64 done = 0;
        QByteArray buffer;
        while (!in.atEnd()) {
            buffer = in.read(kFileChunkSize);
            if (buffer.isEmpty()) {
                throwText(tr("can not open %1. %2").arg(src, in.errorString()));
            }
            fileutil::writeAllThrow(out, buffer);
            done += buffer.size();
            if (callback) {
                callback(total, done, context);
            }
        }
        if (!out.flush()) {
            throwText(tr("can not write %1. %2").arg(destPath, out.errorString()));
        }
        out.close();
    }
    setFileTimes(destPath, item.lastModified);
}

void BackupManifest::copyFile(const _FileNode* node, const QString& destPath, void* context,
                              BackupProgressCallback callback) const {
    if (node) {
        copyItemThrow(node->item, destPath, context, callback);
    }
}

MBDBParser::_MBDBItem BackupManifest::firstEncryptedItem(QByteArray& key) {
    const QHash<QString, MBDBParser::_MBDBItem> records = MBDBParser::parse(*this);
    for (const MBDBParser::_MBDBItem& item : records) {
        if (item.isFolder()) {
            continue;
        }
        const QByteArray k =
            unwrapKeyForClass(keybag, item.protectionClass, item.encryptionKey.data.mid(kWrappedKeyPrefix));
        if (!k.isEmpty()) {
            key = k;
            return item;
        }
    }
    throwText(QStringLiteral("BackupManifest::firstEncryptedItem, no valid keys"));
}

namespace {

// Streams srcPath through AES-256-CBC (fixed IV) into destPath. Decrypting,
// stripPadding removes the PKCS#7 byte count of the last block; encrypting,
// pad appends it. Without padding the length must be a whole number of blocks.
void decryptStream(const QByteArray& key, const QString& srcPath, const QString& destPath, void* context,
                   BackupProgressCallback callback, bool stripPadding) {
    QFile in(srcPath);
    if (!in.open(QIODevice::ReadOnly)) {
        throwText(BackupManifest::tr("can not open %1. %2").arg(srcPath, in.errorString()));
    }
    ensureParentFolder(destPath);
    QFile out(destPath);
    // Plain content of a user's file: never readable by other local users, not even briefly.
    if (!fileutil::openPrivateForWrite(out)) {
        throwText(BackupManifest::tr("can not create %1. %2").arg(destPath, fileutil::openError(out)));
    }
    const qint64 total = in.size();
    AesContext ctx;
    if (!setAESKeyDecrypt(&ctx, key)) {
        throwText(QStringLiteral("BackupManifest::decryptFile, invalid key."));
    }
    QByteArray iv = backupFileIv();
    qint64 done = 0;
    QByteArray chunk;
    while (!in.atEnd()) {
        chunk = in.read(BackupManifest::kFileChunkSize);
        if (chunk.size() < 1) {
            throwText(QStringLiteral("BackupManifest::decryptFile, imcomplete IO read (rd=0)."));
        }
        QByteArray plain = AESdecryptCBC(&ctx, chunk.constData(), static_cast<unsigned long>(chunk.size()),
                                         reinterpret_cast<unsigned char*>(iv.data()));
        if (plain.isEmpty()) {
            throwText(QStringLiteral("%1, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH (rd%16 != 0).")
                          .arg(QFileInfo(srcPath).fileName()));
        }
        if (stripPadding && in.atEnd()) {
            const int pad = static_cast<unsigned char>(plain.back());
            if (pad == 0 || pad > kAesBlockSize) {
                secureWipe(plain);
                throwText(QStringLiteral("BackupManifest::decryptFile, last byte must GT 0 and LET 16"));
            }
            plain.chop(pad);
        }
        fileutil::writeAllThrow(out, plain);
        secureWipe(plain);
        done += chunk.size();
        if (callback) {
            callback(total, done, context);
        }
    }
}

void encryptStream(const QString& srcPath, const QString& destPath, const QByteArray& key, bool pad) {
    QFile in(srcPath);
    if (!in.open(QIODevice::ReadOnly)) {
        throwText(BackupManifest::tr("can not open %1. %2").arg(srcPath, in.errorString()));
    }
    ensureParentFolder(destPath);
    QFile out(destPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        throwText(BackupManifest::tr("can not create %1. %2").arg(destPath, out.errorString()));
    }
    AesContext ctx;
    if (!setAESKeyEncrypt(&ctx, key)) {
        throwText(QStringLiteral("BackupManifest::encryptFileThrow, invalid key."));
    }
    QByteArray iv = backupFileIv();
    auto writeCipher = [&](QByteArray& plain) {
        const QByteArray cipher = AESencryptCBC(&ctx, plain.constData(), static_cast<unsigned long>(plain.size()),
                                                reinterpret_cast<unsigned char*>(iv.data()));
        secureWipe(plain);
        if (cipher.isEmpty()) {
            throwText(QStringLiteral("%1, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.").arg(srcPath));
        }
        fileutil::writeAllThrow(out, cipher);
    };
    const qint64 size = in.size();
    if (size == 0) {
        if (pad) {
            QByteArray block(kAesBlockSize, static_cast<char>(kAesBlockSize));
            writeCipher(block);
        }
        return;
    }
    QByteArray chunk;
    chunk.reserve(kEncryptBufferSize);
    qint64 readCount = 0;
    while (!in.atEnd()) {
        chunk = in.read(BackupManifest::kFileChunkSize);
        const int n = static_cast<int>(chunk.size());
        if (n < 1) {
            throwText(QStringLiteral("BackupManifest::encryptFileThrow, imcomplete IO read."));
        }
        readCount += n;
        if (pad && in.atEnd()) {
            if (n % kAesBlockSize == 0) {
                chunk.append(QByteArray(kAesBlockSize, static_cast<char>(kAesBlockSize)));
            } else if (readCount < size) {
                throwText(QStringLiteral("BackupManifest::encryptFileThrow, imcomplete IO read."));
            } else {
                const int padBytes = kAesBlockSize - n % kAesBlockSize;
                chunk.append(QByteArray(padBytes, static_cast<char>(padBytes)));
            }
        }
        writeCipher(chunk);
    }
}

// SQLite page size from the database header (offset 16, big-endian; 1 means 65536), 0 when not a database.
int sqlitePageSize(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray header = f.read(kSqliteHeaderSize);
    if (header.size() < kSqliteHeaderSize || !header.startsWith(QByteArray("SQLite format 3\0", 16))) {
        return 0;
    }
    const int v = byteorder::readBigEndian<quint16>(header, kSqlitePageSizeOffset).value_or(0);
    return v == 1 ? 65536 : v;
}

} // namespace

void BackupManifest::decryptFileThrow(const QByteArray& key, const QString& srcPath, const QString& destPath,
                                      void* context, BackupProgressCallback callback) {
    decryptStream(key, srcPath, destPath, context, callback, true);
}

void BackupManifest::encryptFileThrow(const QString& srcPath, const QString& destPath, const QByteArray& key) {
    if (key.isEmpty()) {
        // Throws "can not write %1. %2" when the destination exists or the copy fails.
        fileutil::copyNewFileThrow(srcPath, destPath);
        return;
    }
    encryptStream(srcPath, destPath, key, true);
}

bool BackupManifest::decryptDatabaseFileThrow(const QByteArray& key, const QString& srcPath, const QString& destPath) {
    decryptStream(key, srcPath, destPath, nullptr, nullptr, false);
    const int pageSize = sqlitePageSize(destPath);
    if (pageSize < kMinSqlitePageSize) {
        throwText(QStringLiteral("%1 does not decrypt to a database.").arg(QFileInfo(srcPath).fileName()));
    }
    QFile out(destPath);
    const qint64 size = out.size();
    if (size % pageSize == 0) {
        return false; // stored without padding
    }
    if (!out.open(QIODevice::ReadWrite)) {
        throwText(tr("can not open %1. %2").arg(destPath, out.errorString()));
    }
    out.seek(size - kAesBlockSize);
    const QByteArray last = out.read(kAesBlockSize);
    const int pad = last.isEmpty() ? 0 : static_cast<unsigned char>(last.back());
    if (pad == 0 || pad > kAesBlockSize || last.right(pad) != QByteArray(pad, static_cast<char>(pad)) ||
        (size - pad) % pageSize != 0) {
        throwText(QStringLiteral("%1 does not decrypt to a database.").arg(QFileInfo(srcPath).fileName()));
    }
    if (!out.resize(size - pad)) {
        throwText(tr("can not write %1. %2").arg(destPath, out.errorString()));
    }
    return true;
}

void BackupManifest::encryptDatabaseFileThrow(const QString& srcPath, const QString& destPath, const QByteArray& key,
                                              bool padded) {
    encryptStream(srcPath, destPath, key, padded);
}

void BackupManifest::parseInfo() {
    if (!root.children.isEmpty()) {
        return;
    }
    items = MBDBParser::parse(*this);
    // Sorted by address: the records stay where they are until copied into their nodes.
    std::vector<const MBDBParser::_MBDBItem*> sorted;
    sorted.reserve(size_t(items.size()));
    for (const MBDBParser::_MBDBItem& record : std::as_const(items)) {
        sorted.push_back(&record);
    }
    std::sort(sorted.begin(), sorted.end(), [](const MBDBParser::_MBDBItem* a, const MBDBParser::_MBDBItem* b) {
        return compareMBDBItemLess(*a, *b);
    });

    static const QRegularExpression appPattern(QStringLiteral("^AppDomain([^-]*)-(.+)"));
    static const QRegularExpression photoPattern(QStringLiteral("^Media/DCIM/\\d+APPLE/[^/\\.]+(\\.[^/\\.]+)"),
                                                 QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression metaThumbPattern(
        QStringLiteral("^Media/PhotoData/MetaData/DCIM/\\d+APPLE/([^/\\.]+)(\\.[^/\\.]+)"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression thmbPattern(
        QStringLiteral("^Media/DCIM/\\.THMB/[^/]+/\\d+APPLE___([^/\\.]+)(\\.[^/\\.]+)"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression voicemailPattern(QStringLiteral("^Library/Voicemail/(\\d+)\\.amr$"),
                                                     QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression partsPattern(QStringLiteral("^Library/SMS/Parts/[^/]+/[^/]+/([^/]+)$"),
                                                 QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression attachmentPattern(QStringLiteral("^Library/SMS/Attachments/([^/]+)/([^/]+)$"),
                                                      QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression recordingPattern(QStringLiteral("^Media/Recordings/([^/.]+\\.m4a)$"),
                                                     QRegularExpression::CaseInsensitiveOption);

    const WellKnown homeDatabases[] = {
        {&BackupManifest::smsDb, "Library/SMS/sms.db"},
        {&BackupManifest::addressBookDb, "Library/AddressBook/AddressBook.sqlitedb"},
        {&BackupManifest::addressBookImagesDb, "Library/AddressBook/AddressBookImages.sqlitedb"},
        {&BackupManifest::notesDb, "Library/Notes/notes.sqlite"},
        {&BackupManifest::calendarDb, "Library/Calendar/Calendar.sqlitedb"},
        {&BackupManifest::calendarExtrasDb, "Library/Calendar/Extras.db"},
        {&BackupManifest::voicemailDb, "Library/Voicemail/voicemail.db"},
        {&BackupManifest::safariBookmarksDb, "Library/Safari/Bookmarks.db"},
        {&BackupManifest::callHistoryStoreData, "Library/CallHistoryDB/CallHistory.storedata"},
    };

    NodesByPath byPath(&root);
    auto ensureTop = [&](const QString& name) {
        if (byPath.find(name)) {
            return;
        }
        MBDBParser::_MBDBItem folder;
        folder.mode = kSyntheticFolderMode;
        auto* node = new _FileNode(&root, folder, name);
        root.children.append(node);
        byPath.insert(name, node->name, node);
    };
    auto equalsCI = [](const QString& a, const char* b) {
        return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
    };

    for (const MBDBParser::_MBDBItem* sortedRecord : sorted) {
        const MBDBParser::_MBDBItem& record = *sortedRecord;
        const QString d = record.domain.toString();
        const QString p = record.relativePath.toString();

        QString t;
        const QRegularExpressionMatch app = appPattern.match(d);
        if (app.hasMatch()) {
            const QString g = app.captured(1);
            const QString top = g.isEmpty() ? QStringLiteral("Applications") : QStringLiteral("AppDomain") + g;
            ensureTop(top);
            t = top + QLatin1Char('/') + app.captured(2);
            if (!p.isEmpty()) {
                t += QLatin1Char('/') + p;
            }
        } else if (kMergedDomains.contains(QLatin1Char('=') + d + QLatin1Char('='), Qt::CaseSensitive)) {
            t = p;
        } else {
            ensureTop(d);
            t = d + QLatin1Char('/') + p;
        }

        const qsizetype slash = t.lastIndexOf(QLatin1Char('/'));
        const QString n = slash < 0 ? t : t.mid(slash + 1);
        const QString parentPath = slash < 0 ? QString() : t.left(slash);
        if (n.isEmpty() || byPath.find(t)) {
            continue;
        }
        _FileNode* parentNode = slash < 0 ? nullptr : byPath.find(parentPath);
        if (!parentNode) {
            parentNode = &root;
        }
        auto* node = new _FileNode(parentNode, record, n);
        parentNode->children.append(node);
        byPath.insert(t, node->name, node);

        if (equalsCI(d, "CameraRollDomain")) {
            QRegularExpressionMatch m = photoPattern.match(p);
            if (m.hasMatch()) {
                const QString ext = m.captured(1).toLower();
                if (ext == QLatin1String(".mov")) {
                    cameraVideos.append(node);
                } else if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png")) {
                    cameraImages.append(node);
                }
            } else if ((m = metaThumbPattern.match(p)).hasMatch()) {
                if (m.captured(2).compare(QLatin1String(".thm"), Qt::CaseInsensitive) == 0) {
                    photoThumbnails.insert(m.captured(1), node);
                }
            } else if ((m = thmbPattern.match(p)).hasMatch()) {
                const QString ext = m.captured(2).toLower();
                if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png")) {
                    photoThumbnails.insert(m.captured(1), node);
                }
            }
        } else if (equalsCI(d, "HomeDomain")) {
            bool matched = false;
            for (const WellKnown& known : homeDatabases) {
                if (this->*known.member == nullptr && equalsCI(p, known.path)) {
                    this->*known.member = node;
                    matched = true;
                    break;
                }
            }
            if (!matched) {
                const QRegularExpressionMatch m = voicemailPattern.match(p);
                if (m.hasMatch()) {
                    voicemails.insert(m.captured(1).toInt(), node);
                }
            }
        } else if (equalsCI(d, "MediaDomain")) {
            if (recordingsDb == nullptr && equalsCI(p, "Media/Recordings/Recordings.db")) {
                recordingsDb = node;
                continue;
            }
            if (p.startsWith(QLatin1String("Library/SMS/"), Qt::CaseInsensitive)) {
                if (node->item.isFolder()) {
                    continue;
                }
                const QString mobile = QStringLiteral("/var/mobile/");
                const qsizetype k = p.lastIndexOf(QLatin1String("-preview"), -1, Qt::CaseSensitive);
                if (k < 1) {
                    const qsizetype dot = p.lastIndexOf(QLatin1Char('.'));
                    smsFilesByDevicePath.insert(mobile + (dot >= 1 ? p.left(dot) : p), node);
                } else {
                    smsFilesByDevicePath.insert(mobile + p.left(k) + QLatin1String("-preview"), node);
                    if (QFileInfo(p).fileName().contains(QLatin1String("-preview-left"), Qt::CaseInsensitive)) {
                        smsFilesByDevicePath.insert(mobile + p.left(k) + QLatin1String("-preview-left"), node);
                    }
                }
                QRegularExpressionMatch m = partsPattern.match(p);
                if (m.hasMatch()) {
                    smsParts.insert(QFileInfo(m.captured(1)).baseName(), node);
                } else if ((m = attachmentPattern.match(p)).hasMatch()) {
                    smsAttachments.insert(m.captured(1) + QLatin1Char('/') + QFileInfo(m.captured(2)).baseName(), node);
                }
            } else {
                const QRegularExpressionMatch m = recordingPattern.match(p);
                if (m.hasMatch() && !node->item.isFolder()) {
                    recordings.insert(m.captured(1), node);
                }
            }
        } else if (equalsCI(d, "WirelessDomain")) {
            if (callHistoryDb == nullptr && equalsCI(p, "Library/CallHistory/call_history.db")) {
                callHistoryDb = node;
            }
        }
    }
}
