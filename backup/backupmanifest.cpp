#include "backup/backupmanifest.h"

#include "app/progressreporter.h"
#include "backup/backupcrypto.h"
#include "backup/backupjournal.h"
#include "backup/byteorder.h"
#include "backup/fileutil.h"
#include "backup/iositunesbksetpasswordthread.h"
#include "backup/sharedblocks.h"
#include "device/cftype.h"
#include "device/mobiledevice_loader.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
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
// its parent's node and its own name (the node's own fields). The rare path
// whose parent path has no node is kept whole and checked first.
// find(P) gives exactly the node inserted under P, or null.
class NodesByPath {
public:
    using Node = BackupManifest::_FileNode;

    // Room for about expected nodes from the start: growing holds two tables at once.
    NodesByPath(const Node* root, size_t expected) : m_root(root) {
        m_slots.resize(std::max<size_t>(1024, std::bit_ceil(expected + expected / 2)), 0);
    }

    Node* find(QStringView path) const {
        // Walks the prefixes left to right: long paths cost no stack.
        const Node* parent = m_root;
        Node* node = nullptr;
        qsizetype start = 0;
        while (true) {
            const qsizetype slash = path.indexOf(u'/', start);
            const qsizetype end = slash < 0 ? path.size() : slash;
            const QStringView name = path.sliced(start, end - start);
            const size_t hash = nameHash(name);
            node = mayBeWhole(name, hash) ? whole(path.first(end)) : nullptr;
            if (!node) {
                node = parent ? child(parent, name, hash) : nullptr;
            }
            if (slash < 0) {
                return node;
            }
            parent = node;
            start = slash + 1;
        }
    }

    // The nodes find gave for each part of the last path asked for through it.
    struct Trail {
        QString path;
        std::vector<std::pair<qsizetype, Node*>> parts; // where each part ends in path, its node
    };
    // find(path), taking again from trail the nodes of the first parts that path shares with
    // trail's path: a node, once found for a path, stays the one found (no insert replaces
    // one); a part found without a node is asked for again, and so is every part after it.
    Node* find(const QString& path, Trail& trail) const {
        const qsizetype common =
            std::mismatch(path.begin(), path.begin() + std::min(path.size(), trail.path.size()), trail.path.begin())
                .first -
            path.begin();
        size_t kept = 0;
        for (const auto& [end, node] : trail.parts) {
            if (!node || end > common || (end < path.size() && path[end] != u'/')) {
                break;
            }
            ++kept;
        }
        trail.parts.resize(kept);
        trail.path = path;
        if (kept && trail.parts.back().first == path.size()) {
            return trail.parts.back().second; // every part was kept
        }
        const Node* parent = kept ? trail.parts.back().second : m_root;
        qsizetype start = kept ? trail.parts.back().first + 1 : 0;
        while (true) {
            const qsizetype slash = path.indexOf(u'/', start);
            const qsizetype end = slash < 0 ? path.size() : slash;
            const QStringView name = QStringView(path).sliced(start, end - start);
            const size_t hash = nameHash(name);
            Node* node = mayBeWhole(name, hash) ? whole(QStringView(path).first(end)) : nullptr;
            if (!node) {
                node = parent ? child(parent, name, hash) : nullptr;
            }
            trail.parts.emplace_back(end, node);
            if (slash < 0) {
                return node;
            }
            parent = node;
            start = slash + 1;
        }
    }

    // A name's hash, worked out once for a record's lookup and insert.
    static size_t nameHash(QStringView name) { return qHash(name, 0); }

    // find(path) when find(path's parent path) is already known to be parent
    // (non-null) and name (of nameHash hash) is path's last part; path is
    // made only when a path with this name may have been kept whole.
    template <typename PathOf>
    Node* findUnder(const Node* parent, QStringView name, size_t hash, const PathOf& path) const {
        Node* node = mayBeWhole(name, hash) ? whole(path()) : nullptr;
        return node ? node : child(parent, name, hash);
    }

    // path has no node yet; node is a child of the root named for path.
    void insert(const QString& path, Node* node) {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        const Node* parent = slash < 0 ? m_root : find(QStringView(path).first(slash));
        const QStringView last = QStringView(path).sliced(slash + 1);
        if (!parent) {
            insertWhole(path, node);
        } else if (node->parent != parent || node->name != last) {
            // A top folder named after a domain with a slash in it: keyed by what its path says.
            m_odd.insert({parent, last.toString()}, node);
        } else {
            insertChild(node, nameHash(node->name));
        }
    }
    // insert when node's parent is the node of its path's parent path; hash is its name's.
    void insertChild(Node* node, size_t hash) {
        if (4 * (m_count + 1) > 3 * m_slots.size()) {
            grow();
        }
        place(node, hash);
        ++m_count;
    }
    // insert when path's parent path has no node.
    void insertWhole(const QString& path, Node* node) {
        const QString name = path.sliced(path.lastIndexOf(QLatin1Char('/')) + 1);
        const size_t hash = nameHash(name);
        m_whole.insert(path, node);
        m_wholeNames.insert(name);
        m_wholeNameBits[(hash >> 6) % kWholeNameWords] |= quint64(1) << (hash & 63);
    }

private:
    // Open addressing over the nodes themselves: a slot is a pointer, and a
    // node's key is its parent and its name.
    static size_t slotOf(const Node* parent, size_t nameHash) { return nameHash ^ qHash(parent); }

    Node* child(const Node* parent, QStringView name, size_t hash) const {
        if (!m_odd.isEmpty()) {
            if (Node* node = m_odd.value({parent, name.toString()}, nullptr)) {
                return node;
            }
        }
        if (m_slots.empty()) {
            return nullptr;
        }
        const size_t mask = m_slots.size() - 1;
        const size_t slot = slotOf(parent, hash);
        for (size_t i = slot & mask;; i = (i + 1) & mask) {
            if (!m_slots[i]) {
                return nullptr;
            }
            // The tag rules out most other nodes without reading them.
            if ((m_slots[i] & ~kPointerBits) == tagOf(slot) || m_untagged) {
                Node* node = reinterpret_cast<Node*>(quintptr(m_slots[i] & kPointerBits));
                if (node->parent == parent && node->name == name) {
                    return node;
                }
            }
        }
    }
    void place(Node* node, size_t hash) {
        const size_t mask = m_slots.size() - 1;
        const size_t slot = slotOf(node->parent, hash);
        size_t i = slot & mask;
        while (m_slots[i]) {
            i = (i + 1) & mask;
        }
        const quint64 address = reinterpret_cast<quintptr>(node);
        m_untagged = m_untagged || (address & ~kPointerBits) != 0;
        m_slots[i] = address | (m_untagged ? 0 : tagOf(slot));
    }
    void grow() {
        std::vector<quint64> old(std::max<size_t>(1024, 2 * m_slots.size()), 0);
        old.swap(m_slots);
        for (const quint64 value : old) {
            if (value) {
                Node* node = reinterpret_cast<Node*>(quintptr(value & kPointerBits));
                place(node, nameHash(node->name));
            }
        }
    }
    // A slot holds a node's address with hash bits in the bits an address leaves unused.
    static constexpr quint64 kPointerBits = (quint64(1) << 48) - 1;
    static quint64 tagOf(size_t slot) { return quint64(slot) & ~kPointerBits; }
    // Whether a path ending in name may have been kept whole: most names were not, and
    // then the whole path need not even be made.
    bool mayBeWhole(QStringView name, size_t hash) const {
        return (m_wholeNameBits[(hash >> 6) % kWholeNameWords] & (quint64(1) << (hash & 63))) != 0 &&
               m_wholeNames.contains(QString::fromRawData(name.data(), name.size()));
    }
    Node* whole(QStringView path) const {
        // Looked up without copying the path.
        return m_whole.value(QString::fromRawData(path.data(), path.size()), nullptr);
    }

    const Node* m_root;
    std::vector<quint64> m_slots; // a power of two, at most three quarters full
    bool m_untagged = false;      // an address used the tag's bits: every node is read
    size_t m_count = 0;
    QHash<std::pair<const Node*, QString>, Node*> m_odd;
    QHash<QString, Node*> m_whole;
    QSet<QString> m_wholeNames; // the last parts of m_whole's paths
    // A bit per name hash in m_wholeNames: most names are ruled out without a lookup.
    static constexpr size_t kWholeNameWords = 16 * 1024;
    std::vector<quint64> m_wholeNameBits = std::vector<quint64>(kWholeNameWords);
};

// A name as QString::fromUtf8 gives it, kept in blocks.
QString sharedName(SharedBlocks<QString>& blocks, QByteArrayView utf8) {
    char16_t* out = blocks.reserve(utf8.size());
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<uchar>(c) < 0x80; })) {
        std::copy(utf8.begin(), utf8.end(), out);
        return blocks.commit(utf8.size());
    }
    // At most one UTF-16 unit per byte; an initial byte order mark stays, as fromUtf8 keeps it.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QChar* end = decoder.appendToBuffer(reinterpret_cast<QChar*>(out), utf8);
    return blocks.commit(reinterpret_cast<const char16_t*>(end) - out);
}

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
    // Ordered as compareMBDBItemLess orders them, with each distinct domain compared once:
    // the records of one domain then compare by path alone.
    // An absent domain orders as an empty one.
    // The records of a domain share one copy of its text: they are counted by where
    // that text lies, and each copy's text read once.
    const auto domainPlace = [](const MBDBParser::_MBDBItem& r) {
        return r.domain.isValid() ? r.domain.data.constData() : nullptr;
    };
    QHash<const char*, qsizetype> countByPlace;
    QHash<const char*, QByteArray> textByPlace;
    for (const MBDBParser::_MBDBItem& record : std::as_const(m_treeRecords)) {
        qsizetype& count = countByPlace[domainPlace(record)];
        if (count++ == 0) {
            textByPlace.insert(domainPlace(record), record.domain.isValid() ? record.domain.data : QByteArray());
        }
    }
    QHash<QByteArray, qsizetype> domainCount;
    for (auto it = countByPlace.cbegin(); it != countByPlace.cend(); ++it) {
        domainCount[textByPlace.value(it.key())] += it.value();
    }
    std::vector<MBDBParser::_MBDBItem> domains; // a domain each, with an empty path
    for (auto it = domainCount.cbegin(); it != domainCount.cend(); ++it) {
        domains.emplace_back().domain.setVal(it.key());
    }
    std::sort(domains.begin(), domains.end(), compareMBDBItemLess);
    QHash<QByteArray, int> domainRank;
    std::vector<size_t> rankEnd; // where the records of each rank end, once placed
    for (size_t i = 0; i < domains.size(); ++i) {
        // Domains whose texts are equal (bytes that decode alike) share a rank, as they share an order.
        if (i == 0 || compareMBDBItemLess(domains[i - 1], domains[i])) {
            rankEnd.push_back(rankEnd.empty() ? 0 : rankEnd.back());
        }
        domainRank.insert(domains[i].domain.data, int(rankEnd.size() - 1));
        rankEnd.back() += size_t(domainCount.value(domains[i].domain.data));
    }
    // Placed by rank first (a counting sort), then each rank sorted by path. Before a rank is
    // sorted, its paths are gathered into a buffer of its own: the sort and the tree then read
    // them there, close together, instead of wherever each record lies.
    // What the tree needs of a record's path, worked out by the sorter's thread.
    struct PathEntry {
        const MBDBParser::_MBDBItem* record;
        QByteArrayView path; // in the rank's buffer
        qsizetype lastSlash; // in path, -1 for none
        QString name;        // the path's last part
        size_t nameHash;
    };
    // A key holds eight bytes of its path, past what every path of its rank starts with:
    // most comparisons are decided there.
    struct SortKey {
        quint64 bytes; // big-endian, zero past the path's end
        union {
            const MBDBParser::_MBDBItem* record; // until the rank is gathered
            const PathEntry* entry;              // since
        };
    };
    const auto pathOf = [](const MBDBParser::_MBDBItem& record) {
        return record.relativePath.isValid() ? QByteArrayView(record.relativePath.data) : QByteArrayView();
    };
    std::vector<SortKey> sorted(size_t(m_treeRecords.size()));
    std::vector<size_t> rankNext(rankEnd.size());
    for (size_t rank = 1; rank < rankEnd.size(); ++rank) {
        rankNext[rank] = rankEnd[rank - 1];
    }
    QHash<const char*, size_t> rankByPlace;
    for (auto it = textByPlace.cbegin(); it != textByPlace.cend(); ++it) {
        rankByPlace.insert(it.key(), size_t(domainRank.value(it.value())));
    }
    for (const MBDBParser::_MBDBItem& record : std::as_const(m_treeRecords)) {
        SortKey& key = sorted[rankNext[rankByPlace.value(domainPlace(record))]++];
        key.bytes = 0;
        key.record = &record;
    }
    SharedBlocks<QString> entryNames; // the sorter's alone
    struct RankPaths {
        std::vector<PathEntry> entries;
        std::vector<char> bytes;
    };
    std::vector<RankPaths> rankPaths(rankEnd.size());
    const auto gatherRank = [&](size_t rank, size_t begin) {
        const size_t end = rankEnd[rank];
        size_t size = 0;
        for (size_t i = begin; i < end; ++i) {
            // The records lie in an order unrelated to this one: asking for those a few
            // keys ahead lets their cache misses overlap.
            if (i + 16 < end) {
                __builtin_prefetch(&sorted[i + 16].record->relativePath);
            }
            size += size_t(pathOf(*sorted[i].record).size());
        }
        RankPaths& paths = rankPaths[rank];
        paths.entries.resize(end - begin);
        paths.bytes.resize(size);
        size_t at = 0;
        for (size_t i = begin; i < end; ++i) {
            if (i + 8 < end) {
                __builtin_prefetch(sorted[i + 8].record->relativePath.data.constData());
            }
            const QByteArrayView path = pathOf(*sorted[i].record);
            const char* copy = paths.bytes.data() + at;
            std::copy(path.begin(), path.end(), paths.bytes.begin() + ptrdiff_t(at));
            PathEntry& entry = paths.entries[i - begin];
            entry.record = sorted[i].record;
            entry.path = QByteArrayView(copy, path.size());
            entry.lastSlash = entry.path.lastIndexOf('/');
            if (!path.isEmpty()) {
                entry.name = sharedName(entryNames, entry.path.sliced(entry.lastSlash + 1));
                entry.nameHash = NodesByPath::nameHash(entry.name);
            }
            sorted[i].entry = &entry;
            at += size_t(path.size());
        }
    };
    // Orders the paths from the first differing byte, at or after from, as compareMBDBItemLess does.
    const auto pathLessFrom = [](const SortKey& a, const SortKey& b, qsizetype from) {
        const QByteArrayView x = a.entry->path;
        const QByteArrayView y = b.entry->path;
        const qsizetype n = std::min(x.size(), y.size());
        qsizetype i = std::min(from, n);
        // Paths in one folder share long prefixes: skip them eight bytes at a time.
        for (; i + 8 <= n; i += 8) {
            quint64 u, v;
            std::memcpy(&u, x.data() + i, 8);
            std::memcpy(&v, y.data() + i, 8);
            if (u != v) {
                break;
            }
        }
        while (i < n && x[i] == y[i]) {
            ++i;
        }
        const int c = i < x.size() ? static_cast<uchar>(x[i]) : -1; // -1: the path ended here
        const int d = i < y.size() ? static_cast<uchar>(y[i]) : -1;
        if (c >= 0x80 || d >= 0x80) {
            return compareMBDBItemLess(*a.entry->record, *b.entry->record); // UTF-16 order, as QString compares
        }
        return c < d;
    };
    // Gathers and sorts one rank's keys.
    const auto sortRank = [&](size_t rank) {
        const size_t begin = rank == 0 ? 0 : rankEnd[rank - 1];
        gatherRank(rank, begin);
        const auto first = sorted.begin() + ptrdiff_t(begin);
        const auto last = sorted.begin() + ptrdiff_t(rankEnd[rank]);
        const QByteArrayView firstPath = first->entry->path;
        qsizetype common = firstPath.size();
        for (auto it = first + 1; it != last && common > 0; ++it) {
            const QByteArrayView path = it->entry->path;
            common = std::min(common, path.size());
            common =
                std::mismatch(firstPath.begin(), firstPath.begin() + common, path.begin()).first - firstPath.begin();
        }
        for (auto it = first; it != last; ++it) {
            const QByteArrayView tail = it->entry->path.sliced(common);
            uchar bytes[8] = {};
            std::copy_n(tail.begin(), std::min<qsizetype>(8, tail.size()), bytes);
            it->bytes = qFromBigEndian<quint64>(bytes);
        }
        std::sort(first, last, [&](const SortKey& a, const SortKey& b) {
            if (a.bytes == b.bytes) {
                return pathLessFrom(a, b, common);
            }
            // The first differing byte decides, unless it is not ASCII; a path that ended there
            // has a zero, which differs from any other ASCII byte as the end does.
            const int shift = 56 - (std::countl_zero(a.bytes ^ b.bytes) & ~7);
            const uint c = uint(a.bytes >> shift) & 0xFF;
            const uint d = uint(b.bytes >> shift) & 0xFF;
            if (c >= 0x80 || d >= 0x80) {
                return compareMBDBItemLess(*a.entry->record, *b.entry->record);
            }
            return c < d;
        });
    };
    // A thread of its own sorts the ranks in order while this one builds the tree from the
    // ranks already sorted, a few ranks ahead at most (each holds its paths' buffer until built).
    constexpr size_t kRanksAhead = 2;
    std::atomic<size_t> ranksSorted{0};
    std::atomic<size_t> ranksBuilt{0};
    std::atomic<bool> sortFailed{false};
    std::atomic<bool> abandoned{false};
    std::exception_ptr sortFailure;
    std::thread sorter([&] {
        try {
            for (size_t rank = 0; rank < rankEnd.size(); ++rank) {
                size_t built;
                while ((built = ranksBuilt.load(std::memory_order_acquire)) + kRanksAhead < rank) {
                    if (abandoned.load()) {
                        return;
                    }
                    ranksBuilt.wait(built, std::memory_order_acquire);
                }
                sortRank(rank);
                ranksSorted.store(rank + 1, std::memory_order_release);
                ranksSorted.notify_one();
            }
        } catch (...) {
            sortFailure = std::current_exception();
            sortFailed.store(true);
            ranksSorted.store(rankEnd.size(), std::memory_order_release);
            ranksSorted.notify_one();
        }
    });
    // Joined however the tree building ends; a sorter still waiting for room is let go.
    struct Joiner {
        std::thread& thread;
        std::atomic<bool>& abandoned;
        std::atomic<size_t>& ranksBuilt;
        ~Joiner() {
            abandoned.store(true);
            ranksBuilt.fetch_add(1);
            ranksBuilt.notify_one();
            if (thread.joinable()) {
                thread.join();
            }
        }
    } joiner{sorter, abandoned, ranksBuilt};

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

    NodesByPath byPath(&root, sorted.size());
    NodesByPath::Trail trail; // of the folders asked for
    const auto addNode = [&](_FileNode* parent, const MBDBParser::_MBDBItem& record, const QString& name) {
        _FileNode* node = &m_nodes.emplace_back(parent, record, name);
        parent->children.append(node);
        return node;
    };
    auto ensureTop = [&](const QString& name) {
        if (!byPath.find(name)) {
            byPath.insert(name, addNode(&root, syntheticFolderRecord(), name));
        }
    };
    auto equalsCI = [](const QString& a, const char* b) {
        return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
    };
    enum class Indexed { None, CameraRoll, Home, Media, Wireless };

    // The records come sorted by domain, then path: what depends on the domain alone is
    // worked out once per domain, and a record's folder is most often the last one asked for.
    size_t rank = 0; // of the record, by where it is in sorted
    size_t lastRank = SIZE_MAX;
    QString d;
    QString domainPrefix; // the tree path of the domain's top, "" for a merged domain
    bool appDomain = false;
    Indexed indexed = Indexed::None;
    // lastParent is the node of lastFolder, the folder part of a path in this domain, when folderKnown.
    QByteArrayView lastFolder;
    bool folderKnown = false;
    QString lastParentPath;
    _FileNode* lastParent = nullptr;
    size_t readyEnd = 0; // the keys before it are sorted
    for (size_t i = 0; i < sorted.size(); ++i) {
        while (i >= rankEnd[rank]) {
            // The rank before is built: its paths' buffer goes, and the sorter may go on.
            rankPaths[rank] = RankPaths();
            ++rank;
            ranksBuilt.store(rank, std::memory_order_release);
            ranksBuilt.notify_one();
        }
        if (i >= readyEnd) {
            size_t ready;
            while ((ready = ranksSorted.load(std::memory_order_acquire)) <= rank) {
                ranksSorted.wait(ready, std::memory_order_acquire);
            }
            if (sortFailed.load()) {
                sorter.join();
                std::rethrow_exception(sortFailure);
            }
            readyEnd = rankEnd[ready - 1];
        }
        const PathEntry& entry = *sorted[i].entry;
        const MBDBParser::_MBDBItem& record = *entry.record;
        // Domains of one rank have the same text.
        if (rank != lastRank) {
            lastRank = rank;
            folderKnown = false;
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
            indexed = equalsCI(d, "CameraRollDomain") ? Indexed::CameraRoll
                      : equalsCI(d, "HomeDomain")     ? Indexed::Home
                      : equalsCI(d, "MediaDomain")    ? Indexed::Media
                      : equalsCI(d, "WirelessDomain") ? Indexed::Wireless
                                                      : Indexed::None;
        }

        // The record's tree path is domainPrefix/path (path alone in a merged domain), its
        // node named for the path's last part under the node of the rest.
        const QByteArrayView pathBytes = entry.path;
        const qsizetype slashInPath = entry.lastSlash;
        QString n;
        bool atTop = false; // no folder above it: a child of the root
        if (pathBytes.isEmpty()) {
            if (!appDomain) {
                continue; // the top of a domain is a synthetic folder, or none
            }
            // An app's own folder: the domain's top, named for the app.
            const qsizetype slash = domainPrefix.lastIndexOf(QLatin1Char('/'));
            n = domainPrefix.mid(slash + 1);
            if (n.isEmpty()) {
                continue;
            }
            lastParentPath = domainPrefix.first(slash);
            lastParent = byPath.find(lastParentPath, trail);
            folderKnown = false; // no folder within the domain leads to lastParent
        } else {
            n = entry.name;
            if (n.isEmpty()) {
                continue;
            }
            const QByteArrayView folderBytes = pathBytes.first(std::max<qsizetype>(slashInPath, 0));
            if (slashInPath < 0 && domainPrefix.isEmpty()) {
                atTop = true;
                lastParent = nullptr;
            } else if (folderKnown && lastParent && folderBytes == lastFolder) {
                // the previous record's folder
            } else {
                lastParentPath = domainPrefix;
                if (slashInPath >= 0) {
                    if (!lastParentPath.isEmpty()) {
                        lastParentPath += QLatin1Char('/');
                    }
                    lastParentPath += QString::fromUtf8(folderBytes);
                }
                lastParent = byPath.find(lastParentPath, trail);
            }
            lastFolder = folderBytes;
            folderKnown = !atTop;
        }
        const auto treePath = [&] { return atTop ? n : lastParentPath + QLatin1Char('/') + n; };
        // With the parent's node at hand, neither lookup walks the whole path again.
        const bool known = atTop || lastParent;
        _FileNode* parentNode = atTop ? &root : lastParent;
        const size_t nameHash = pathBytes.isEmpty() ? NodesByPath::nameHash(n) : entry.nameHash;
        const QString wholePath = known ? QString() : treePath(); // kept whole when its parent has no node
        if (known ? byPath.findUnder(parentNode, n, nameHash, treePath) : byPath.find(wholePath)) {
            continue;
        }
        _FileNode* node = addNode(parentNode ? parentNode : &root, record, n);
        if (parentNode) {
            byPath.insertChild(node, nameHash);
        } else {
            byPath.insertWhole(wholePath, node);
        }

        if (indexed == Indexed::None) {
            continue;
        }
        const QString p = record.relativePath.toString();
        if (indexed == Indexed::CameraRoll) {
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
        } else if (indexed == Indexed::Home) {
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
        } else if (indexed == Indexed::Media) {
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
        } else if (indexed == Indexed::Wireless) {
            if (callHistoryDb == nullptr && equalsCI(p, "Library/CallHistory/call_history.db")) {
                callHistoryDb = node;
            }
        }
    }
}
