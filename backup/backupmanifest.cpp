#include "backup/backupmanifest.h"

#include "app/progressreporter.h"
#include "backup/backupcrypto.h"
#include "backup/backupjournal.h"
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
#include <sys/stat.h>
#include <utime.h>
#include <vector>

namespace {

constexpr int kWrappedKeyPrefix = 4;
constexpr int kEncryptBufferSize = 9216; // one chunk plus room for padding
constexpr quint16 kSyntheticFolderMode = 0x4000;

// Shared records of the nodes that stand for no manifest record: the root and
// the synthetic top folders.
const MBDBParser::_MBDBItem& noRecord() {
    static const MBDBParser::_MBDBItem record;
    return record;
}
const MBDBParser::_MBDBItem& syntheticFolderRecord() {
    static const MBDBParser::_MBDBItem record = [] {
        MBDBParser::_MBDBItem r;
        r.mode = kSyntheticFolderMode;
        return r;
    }();
    return record;
}

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

    // find(path) when find(path's parent path) is already known to be parent (non-null).
    Node* findUnder(const Node* parent, QStringView path, QStringView name) const {
        Node* node = whole(path);
        return node ? node : child(parent, name);
    }

    // path has no node yet; name is the node's name when it is path's last part.
    void insert(const QString& path, const QString& name, Node* node) {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        insertUnder(slash < 0 ? m_root : find(QStringView(path).first(slash)), path, name, node);
    }
    // insert when the node of path's parent path is known (null: it has none).
    void insertUnder(const Node* parent, const QString& path, const QString& name, Node* node) {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
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

void wipeClassKeys(_KeybagInfo& bag) {
    for (auto it = bag.classKeys.begin(); it != bag.classKeys.end(); ++it) {
        if (it->contains(QStringLiteral("KEY"))) {
            secureWipe((*it)[QStringLiteral("KEY")]);
        }
    }
}

BackupManifest::_FileStamp stampOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        return {};
    }
    QFile file(path);
    const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(kSqliteHeaderSize) : QByteArray();
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, quint64(st.st_ino), head};
}

struct WellKnown {
    const BackupManifest::_FileNode* BackupManifest::*member;
    const char* path;
};

} // namespace

BackupManifest::_FileNode::_FileNode(_FileNode* parent_, const MBDBParser::_MBDBItem& item_, const QString& name_)
    : name(name_), item(item_), parent(parent_) {}

BackupManifest::_FileNode::~_FileNode() {
    qDeleteAll(children);
}

BackupManifest::BackupManifest(const QString& dirPath, QObject* parent)
    : QObject(parent), dir(dirPath), root(nullptr, noRecord(), QString()) {}

BackupManifest::~BackupManifest() {
    secureWipe(manifestDbKey);
    wipeClassKeys(keybag);
}

void BackupManifest::readManifestInfo() {
    if (!mobiledevice_loader_is_corefoundation_loaded()) {
        throwText(tr("Failed to load (Apple Mobile Device) framework."));
    }
    // An edit killed half-way is finished before anything is read.
    recoveryNote = backupjournal::recoverIfNeededThrow(dir.absolutePath());
    const QString path = dir.absoluteFilePath(QStringLiteral("Manifest.plist"));
    QFile file(path);
    if (!file.exists()) {
        throwText(QStringLiteral("Cannot find ") + path);
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throwText(file.errorString());
    }
    const QByteArray bytes = file.read(kMaxPlistSize + 1);
    if (bytes.size() > kMaxPlistSize) {
        throwText(QStringLiteral("%1 is too large (more than %2 bytes).").arg(path).arg(kMaxPlistSize));
    }
    const CFType plist = CFType::createCFPropertyList(bytes);
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
    recordManifestStamp();
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
    // Unlocked into a fresh keybag: a wrong password or a failed decryption leaves the current state as it was.
    _KeybagInfo bag = parseKeybag(info.backupKeyBag);
    if (!unlockWithPasscode(password.toUtf8(), bag)) {
        wipeClassKeys(bag);
        return false;
    }
    std::unique_ptr<fileutil::PrivateTempDir> newPlainDir;
    QString newDecryptedPath;
    QByteArray newKey;
    bool padded = true;
    if (bag.attributes.contains(QStringLiteral("DPIC")) && bag.attributes.contains(QStringLiteral("DPSL"))) {
        // The plain manifest never goes into the backup folder; a fresh private folder holds it.
        newPlainDir = std::make_unique<fileutil::PrivateTempDir>();
        if (!newPlainDir->isValid()) {
            wipeClassKeys(bag);
            throwText(QStringLiteral("Cannot create a private temporary folder: %1").arg(newPlainDir->errorString()));
        }
        newDecryptedPath = newPlainDir->track(QStringLiteral("Manifest-decrypted.db"));
        const QByteArray wrapped = info.manifestKey.mid(kWrappedKeyPrefix);
        for (auto it = bag.classKeys.constBegin(); it != bag.classKeys.constEnd(); ++it) {
            QByteArray key = unwrapKeyForClass(bag, it.key(), wrapped);
            if (key.isEmpty()) {
                continue;
            }
            try {
                // The database may be stored with or without a padding block; keep whichever it had.
                padded = decryptDatabaseFileThrow(key, dir.absoluteFilePath(QStringLiteral("Manifest.db")),
                                                  newDecryptedPath);
            } catch (...) {
                secureWipe(key);
                wipeClassKeys(bag);
                throw; // the new folder and its partial copy go with newPlainDir
            }
            newKey = key;
            secureWipe(key);
            break;
        }
    }
    wipeClassKeys(keybag);
    keybag = std::move(bag);
    passcode = password;
    if (newPlainDir) {
        secureWipe(manifestDbKey);
        manifestDbKey = newKey;
        manifestDbPadded = padded;
        decryptedManifestDbPath = newDecryptedPath;
        plainDir = std::move(newPlainDir);
        // The copy is what a save writes back: it must still match the file when saving.
        recordManifestStamp();
    }
    return true;
}

QString BackupManifest::manifestDbPathInUse() const {
    return manifestDbKey.isEmpty() ? dir.absoluteFilePath(QStringLiteral("Manifest.db")) : decryptedManifestDbPath;
}

QString BackupManifest::manifestFilePath() const {
    return dir.absoluteFilePath(MBDBParser::isIos10Mbdb(dir) ? QStringLiteral("Manifest.db")
                                                             : QStringLiteral("Manifest.mbdb"));
}

void BackupManifest::recordManifestStamp() {
    manifestStamp = stampOf(manifestFilePath());
}

void BackupManifest::checkManifestUnchangedThrow() const {
    if (manifestStamp.size < 0) {
        return; // never read through readManifestInfo: nothing to compare with
    }
    const QString path = manifestFilePath();
    if (!(stampOf(path) == manifestStamp)) {
        throwText(QStringLiteral("%1 was changed by another program after the backup was opened. Nothing was "
                                 "saved, so that its changes are not undone; open the backup again.")
                      .arg(path));
    }
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
    const QString name = item.domain.toString() + QLatin1Char('-') + item.relativePath.toString();
    QByteArray key = fileKeyFor(item);
    if (info.isEncrypted && key.isEmpty()) {
        // Copying the stored bytes would hand out ciphertext as the file's content.
        throwText(QStringLiteral("The key of %1 cannot be unwrapped (protection class %2), so it cannot be decrypted.")
                      .arg(name)
                      .arg(item.protectionClass));
    }
    try {
        if (!key.isEmpty()) {
            decryptFileThrow(key, src, destPath, context, callback);
            secureWipe(key);
            const qint64 size = QFileInfo(destPath).size();
            if (size != item.size) {
                throwText(QStringLiteral("%1 decrypts to %2 bytes, but the manifest records %3: its data file is "
                                         "damaged.")
                              .arg(name)
                              .arg(size)
                              .arg(item.size));
            }
        } else {
            copyPlainThrow(src, destPath, context, callback);
        }
    } catch (...) {
        secureWipe(key);
        QFile::remove(destPath); // no partial or unverified content under the destination's name
        throw;
    }
    setFileTimes(destPath, item.lastModified);
}

void BackupManifest::copyPlainThrow(const QString& src, const QString& destPath, void* context,
                                    BackupProgressCallback callback) {
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
            // Every padding byte, not just the last: a file cut short rarely ends in valid padding.
            if (plain.right(pad) != QByteArray(pad, static_cast<char>(pad))) {
                secureWipe(plain);
                throwText(QStringLiteral("%1: the padding is damaged; the file is cut short or not encrypted "
                                         "with this key.")
                              .arg(QFileInfo(srcPath).fileName()));
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

void encryptStream(const QString& srcPath, QFile& out, const QByteArray& key, bool pad) {
    QFile in(srcPath);
    if (!in.open(QIODevice::ReadOnly)) {
        throwText(BackupManifest::tr("can not open %1. %2").arg(srcPath, in.errorString()));
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
    ensureParentFolder(destPath);
    fileutil::replaceFileWithThrow(destPath, [&](QFile& out) {
        if (key.isEmpty()) {
            QFile in(srcPath);
            if (!in.open(QIODevice::ReadOnly)) {
                throwText(tr("can not open %1. %2").arg(srcPath, in.errorString()));
            }
            QByteArray buffer;
            while (!(buffer = in.read(kFileChunkSize)).isEmpty()) {
                fileutil::writeAllThrow(out, buffer);
            }
            if (in.error() != QFileDevice::NoError) {
                throwText(tr("can not open %1. %2").arg(srcPath, in.errorString()));
            }
        } else {
            encryptStream(srcPath, out, key, true);
        }
    });
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
    ensureParentFolder(destPath);
    fileutil::replaceFileWithThrow(destPath, [&](QFile& out) { encryptStream(srcPath, out, key, padded); });
}

void BackupManifest::parseInfo() {
    if (!root.children.isEmpty()) {
        return;
    }
    items = MBDBParser::parse(*this);
    m_treeRecords = items;
    // Sorted by address: the nodes refer to the records where they are.
    std::vector<const MBDBParser::_MBDBItem*> sorted;
    sorted.reserve(size_t(m_treeRecords.size()));
    for (const MBDBParser::_MBDBItem& record : std::as_const(m_treeRecords)) {
        sorted.push_back(&record);
    }
    // Ordered as compareMBDBItemLess orders them, with each distinct domain compared once:
    // the records of one domain then compare by path alone.
    // An absent domain orders as an empty one.
    const auto domainKey = [](const MBDBParser::_MBDBItem& r) {
        return r.domain.isValid() ? r.domain.data : QByteArray();
    };
    QHash<QByteArray, int> domainRank;
    std::vector<MBDBParser::_MBDBItem> domains; // a domain each, with an empty path
    for (const MBDBParser::_MBDBItem* record : sorted) {
        if (!domainRank.contains(domainKey(*record))) {
            domainRank.insert(domainKey(*record), 0);
            domains.emplace_back().domain = record->domain;
        }
    }
    std::sort(domains.begin(), domains.end(), compareMBDBItemLess);
    for (size_t i = 0, rank = 0; i < domains.size(); ++i) {
        // Domains whose texts are equal (bytes that decode alike) share a rank, as they share an order.
        rank += i > 0 && compareMBDBItemLess(domains[i - 1], domains[i]) ? 1 : 0;
        domainRank[domainKey(domains[i])] = int(rank);
    }
    std::vector<std::pair<int, const MBDBParser::_MBDBItem*>> ranked;
    ranked.reserve(sorted.size());
    for (const MBDBParser::_MBDBItem* record : sorted) {
        ranked.emplace_back(domainRank.value(domainKey(*record)), record);
    }
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : compareMBDBItemLess(*a.second, *b.second);
    });
    for (size_t i = 0; i < ranked.size(); ++i) {
        sorted[i] = ranked[i].second;
    }

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
        auto* node = new _FileNode(&root, syntheticFolderRecord(), name);
        root.children.append(node);
        byPath.insert(name, node->name, node);
    };
    auto equalsCI = [](const QString& a, const char* b) {
        return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
    };

    // The records come sorted by domain, then path: what depends on the domain alone is
    // worked out once per domain, and a record's folder is most often the last one asked for.
    MBDBParser::_MBDBBinary lastDomain;
    bool firstRecord = true;
    QString d;
    QString domainPrefix; // the tree path of the domain's top, "" for a merged domain
    bool appDomain = false;
    QString lastParentPath;
    _FileNode* lastParent = nullptr;
    for (const MBDBParser::_MBDBItem* sortedRecord : sorted) {
        const MBDBParser::_MBDBItem& record = *sortedRecord;
        const QString p = record.relativePath.toString();
        if (firstRecord || !(record.domain == lastDomain)) {
            firstRecord = false;
            lastDomain = record.domain;
            d = record.domain.toString();
            const QRegularExpressionMatch app = appPattern.match(d);
            appDomain = app.hasMatch();
            if (appDomain) {
                const QString g = app.captured(1);
                const QString top = g.isEmpty() ? QStringLiteral("Applications") : QStringLiteral("AppDomain") + g;
                ensureTop(top);
                domainPrefix = top + QLatin1Char('/') + app.captured(2);
            } else if (kMergedDomains.contains(QLatin1Char('=') + d + QLatin1Char('='), Qt::CaseSensitive)) {
                domainPrefix.clear();
            } else {
                ensureTop(d);
                domainPrefix = d;
            }
        }

        QString t;
        if (appDomain) {
            t = p.isEmpty() ? domainPrefix : domainPrefix + QLatin1Char('/') + p;
        } else if (domainPrefix.isEmpty()) {
            t = p;
        } else {
            t = domainPrefix + QLatin1Char('/') + p;
        }

        const qsizetype slash = t.lastIndexOf(QLatin1Char('/'));
        const QString n = slash < 0 ? t : t.mid(slash + 1);
        const QStringView parentPath = slash < 0 ? QStringView() : QStringView(t).first(slash);
        if (n.isEmpty()) {
            continue;
        }
        if (slash < 0) {
            lastParent = nullptr;
        } else if (!lastParent || parentPath != lastParentPath) {
            lastParentPath = parentPath.toString();
            lastParent = byPath.find(parentPath);
        }
        // With the parent's node at hand, neither lookup walks the whole path again.
        const bool known = slash < 0 || lastParent;
        const _FileNode* parentKnown = slash < 0 ? &root : lastParent;
        if (known ? byPath.findUnder(parentKnown, t, n) : byPath.find(t)) {
            continue;
        }
        _FileNode* parentNode = lastParent ? lastParent : &root;
        auto* node = new _FileNode(parentNode, record, n);
        parentNode->children.append(node);
        byPath.insertUnder(slash < 0 ? &root : lastParent, t, node->name, node);

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
