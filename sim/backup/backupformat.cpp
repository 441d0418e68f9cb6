#include "sim/backup/backupformat.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <unistd.h>

namespace simbackup {

namespace {

constexpr int kChunk = 64 * 1024;
constexpr int kKeySize = 32;
// Keybag rounds: far below a device's, so that tests and the demo unlock fast.
constexpr int kIterations = 1000;
constexpr qint64 kMaxManifestBlob = 1 << 20;

[[noreturn]] void fail(int code, const QString& why) {
    throw Failure{code, why};
}

[[noreturn]] void failIo(const QString& what, const QString& path) {
    const int e = errno;
    fail(e == ENOSPC || e == EDQUOT ? kErrNoSpace : kErrBackupFolder,
         QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(strerror(e))));
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

void writeAll(int fd, const char* data, qint64 n, const QString& path) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, static_cast<size_t>(n));
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            failIo(QStringLiteral("cannot write"), path);
        }
        data += w;
        n -= w;
    }
}

int openForWrite(const QString& path, mode_t mode) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        failIo(QStringLiteral("cannot create"), path);
    }
    return fd;
}

struct CipherCtx {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

// Streams src through an optional AES-256-CBC step (zero IV, PKCS#7) into dst.
QByteArray stream(const QString& src, const QString& dst, const QByteArray& key, bool encrypt,
                  const Progress& progress) {
    Fd in;
    in.fd = ::open(QFile::encodeName(src).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in.fd < 0) {
        failIo(QStringLiteral("cannot open"), src);
    }
    Fd out;
    if (!dst.isEmpty()) {
        out.fd = openForWrite(dst, 0644);
    }
    CipherCtx cipher;
    const unsigned char iv[16] = {};
    if (!key.isEmpty()) {
        if (key.size() != kKeySize ||
            EVP_CipherInit_ex(cipher.ctx, EVP_aes_256_cbc(), nullptr,
                              reinterpret_cast<const unsigned char*>(key.constData()), iv, encrypt ? 1 : 0) != 1) {
            fail(kErrBackupFolder, QStringLiteral("bad file key for %1").arg(src));
        }
    }
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    QByteArray buf(kChunk, Qt::Uninitialized);
    QByteArray outBuf(kChunk + 32, Qt::Uninitialized);
    auto put = [&](const char* data, int n, bool plain) {
        if (n <= 0) {
            return;
        }
        if (plain) {
            sha1.addData(QByteArrayView(data, n));
        }
        if (out.fd >= 0) {
            writeAll(out.fd, data, n, dst);
        }
    };
    for (;;) {
        const ssize_t r = ::read(in.fd, buf.data(), kChunk);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            failIo(QStringLiteral("cannot read"), src);
        }
        if (r == 0) {
            break;
        }
        if (key.isEmpty()) {
            put(buf.constData(), static_cast<int>(r), true);
            if (progress) {
                progress(r);
            }
            continue;
        }
        if (encrypt) {
            sha1.addData(QByteArrayView(buf.constData(), r));
        }
        int n = 0;
        if (EVP_CipherUpdate(cipher.ctx, reinterpret_cast<unsigned char*>(outBuf.data()), &n,
                             reinterpret_cast<const unsigned char*>(buf.constData()), static_cast<int>(r)) != 1) {
            fail(kErrBackupFolder, QStringLiteral("cannot process %1").arg(src));
        }
        put(outBuf.constData(), n, !encrypt);
        if (progress) {
            progress(encrypt ? r : n);
        }
    }
    if (!key.isEmpty()) {
        int n = 0;
        if (EVP_CipherFinal_ex(cipher.ctx, reinterpret_cast<unsigned char*>(outBuf.data()), &n) != 1) {
            fail(kErrBackupFolder, QStringLiteral("%1 does not decrypt (bad length or padding)").arg(src));
        }
        put(outBuf.constData(), n, !encrypt);
        if (progress && !encrypt) {
            progress(n);
        }
    }
    return sha1.result();
}

QByteArray tlv(const char* tag, const QByteArray& value) {
    QByteArray out(tag, 4);
    const quint32 n = static_cast<quint32>(value.size());
    const char len[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return out + QByteArray(len, 4) + value;
}

QByteArray be32(quint32 v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}

quint32 readBe32(const QByteArray& b, qsizetype at) {
    if (at + 4 > b.size()) {
        return 0;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(b.constData() + at);
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3];
}

} // namespace

QString fileIdOf(const QString& domain, const QString& path) {
    return QString::fromLatin1(
        QCryptographicHash::hash((domain + QLatin1Char('-') + path).toUtf8(), QCryptographicHash::Sha1).toHex());
}

QString Record::fileId() const {
    return fileIdOf(domain, path);
}

QString dataPath(const QString& backupDir, const QString& fileId, bool mbdb) {
    return mbdb ? backupDir + QLatin1Char('/') + fileId
                : backupDir + QLatin1Char('/') + fileId.left(2) + QLatin1Char('/') + fileId;
}

QByteArray randomBytes(int n) {
    QByteArray out(n, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), n) != 1) {
        fail(kErrUnknown, QStringLiteral("no random bytes"));
    }
    return out;
}

namespace {
QByteArray wrapOp(const QByteArray& kek, const QByteArray& in, bool wrap) {
    if (kek.size() < kKeySize || in.size() < 16 || in.size() % 8 != 0) {
        return {};
    }
    CipherCtx c;
    EVP_CIPHER_CTX_set_flags(c.ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    QByteArray out(in.size() + 16, Qt::Uninitialized);
    int n = 0, m = 0;
    if (EVP_CipherInit_ex(c.ctx, EVP_aes_256_wrap(), nullptr, reinterpret_cast<const unsigned char*>(kek.constData()),
                          nullptr, wrap ? 1 : 0) != 1 ||
        EVP_CipherUpdate(c.ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                         reinterpret_cast<const unsigned char*>(in.constData()), static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &m) != 1) {
        return {};
    }
    out.resize(n + m);
    return out;
}
} // namespace

QByteArray keyWrap(const QByteArray& kek, const QByteArray& key) {
    return wrapOp(kek, key, true);
}

QByteArray keyUnwrap(const QByteArray& kek, const QByteArray& wrapped) {
    return wrapOp(kek, wrapped, false);
}

QByteArray pbkdf2(bool sha256, const QByteArray& secret, const QByteArray& salt, int iterations) {
    QByteArray out(kKeySize, Qt::Uninitialized);
    if (iterations < 1 ||
        PKCS5_PBKDF2_HMAC(secret.constData(), static_cast<int>(secret.size()),
                          reinterpret_cast<const unsigned char*>(salt.constData()), static_cast<int>(salt.size()),
                          iterations, sha256 ? EVP_sha256() : EVP_sha1(), kKeySize,
                          reinterpret_cast<unsigned char*>(out.data())) != 1) {
        return {};
    }
    return out;
}

namespace {
QByteArray cbc(const QByteArray& key, const QByteArray& data, const QByteArray& iv, bool encrypt, bool padded,
               bool* ok) {
    CipherCtx c;
    QByteArray out(data.size() + 32, Qt::Uninitialized);
    int n = 0, m = 0;
    const EVP_CIPHER* type = key.size() == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
    bool good = (key.size() == 16 || key.size() == kKeySize) && iv.size() == 16 &&
                EVP_CipherInit_ex(c.ctx, type, nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                                  reinterpret_cast<const unsigned char*>(iv.constData()), encrypt ? 1 : 0) == 1 &&
                EVP_CIPHER_CTX_set_padding(c.ctx, padded ? 1 : 0) == 1 &&
                EVP_CipherUpdate(c.ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                                 reinterpret_cast<const unsigned char*>(data.constData()),
                                 static_cast<int>(data.size())) == 1 &&
                EVP_CipherFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &m) == 1;
    if (ok) {
        *ok = good;
    }
    if (!good) {
        return {};
    }
    out.resize(n + m);
    return out;
}
} // namespace

QByteArray cbcDecrypt(const QByteArray& key, const QByteArray& data, const QByteArray& iv, bool padded, bool* ok) {
    return cbc(key, data, iv, false, padded, ok);
}

QByteArray cbcEncrypt(const QByteArray& key, const QByteArray& data, const QByteArray& iv) {
    return cbc(key, data, iv, true, true, nullptr);
}

QByteArray copyEncrypting(const QString& src, const QString& dst, const QByteArray& key, const Progress& progress) {
    return stream(src, dst, key, true, progress);
}

QByteArray copyDecrypting(const QString& src, const QString& dst, const QByteArray& key, const Progress& progress) {
    return stream(src, dst, key, false, progress);
}

QByteArray fileSha1(const QString& path) {
    try {
        return stream(path, QString(), QByteArray(), false, nullptr);
    } catch (const Failure&) {
        return {};
    }
}

Keybag Keybag::create(const QByteArray& password, bool dp) {
    Keybag bag;
    bag.dp = dp;
    const QByteArray salt = randomBytes(20);
    const QByteArray dpsl = randomBytes(20);
    QByteArray secret = password;
    if (dp) {
        secret = pbkdf2(true, secret, dpsl, kIterations);
    }
    const QByteArray passKey = pbkdf2(false, secret, salt, kIterations);
    QByteArray blob = tlv("VERS", be32(dp ? 4 : 3)) + tlv("TYPE", be32(1)) + tlv("UUID", randomBytes(16)) +
                      tlv("HMCK", randomBytes(40)) + tlv("WRAP", be32(0)) + tlv("SALT", salt) +
                      tlv("ITER", be32(kIterations));
    if (dp) {
        blob += tlv("DPWT", be32(1)) + tlv("DPIC", be32(kIterations)) + tlv("DPSL", dpsl);
    }
    for (int c = 1; c <= 11; ++c) {
        const QByteArray key = randomBytes(kKeySize);
        bag.classKeys.insert(c, key);
        blob += tlv("UUID", randomBytes(16)) + tlv("CLAS", be32(c)) + tlv("WRAP", be32(2)) + tlv("KTYP", be32(0)) +
                tlv("WPKY", keyWrap(passKey, key));
    }
    bag.blob = blob;
    return bag;
}

bool Keybag::unlock(const QByteArray& blob, const QByteArray& password, Keybag* out) {
    QMap<QString, QByteArray> attrs;
    QList<QMap<QString, QByteArray>> classes;
    qsizetype pos = 0;
    while (pos + 8 <= blob.size()) {
        const QString tag = QString::fromLatin1(blob.mid(pos, 4));
        const quint32 n = readBe32(blob, pos + 4);
        if (n > static_cast<quint32>(blob.size() - pos - 8)) {
            return false;
        }
        const QByteArray value = blob.mid(pos + 8, n);
        pos += 8 + n;
        if (tag == QLatin1String("UUID") && attrs.contains(tag)) {
            classes.append(QMap<QString, QByteArray>());
        } else if (!classes.isEmpty() && QStringLiteral("CLAS WRAP WPKY KTYP PBKY").contains(tag)) {
            classes.last().insert(tag, value);
        } else {
            attrs.insert(tag, value);
        }
    }
    const int iter = static_cast<int>(readBe32(attrs.value(QStringLiteral("ITER")), 0));
    const bool dp = attrs.contains(QStringLiteral("DPIC")) && attrs.contains(QStringLiteral("DPSL"));
    QByteArray secret = password;
    if (dp) {
        const int dpic = static_cast<int>(readBe32(attrs.value(QStringLiteral("DPIC")), 0));
        // A hostile bag could ask for years of rounds; a device's own stay far below this.
        if (dpic < 1 || dpic > 20000000) {
            return false;
        }
        secret = pbkdf2(true, secret, attrs.value(QStringLiteral("DPSL")), dpic);
    }
    if (iter < 1 || iter > 20000000 || !attrs.contains(QStringLiteral("SALT"))) {
        return false;
    }
    const QByteArray passKey = pbkdf2(false, secret, attrs.value(QStringLiteral("SALT")), iter);
    Keybag bag;
    bag.blob = blob;
    bag.dp = dp;
    for (const auto& c : classes) {
        if (!c.contains(QStringLiteral("CLAS")) || !c.contains(QStringLiteral("WPKY")) ||
            !(readBe32(c.value(QStringLiteral("WRAP")), 0) & 2)) {
            continue;
        }
        const QByteArray key = keyUnwrap(passKey, c.value(QStringLiteral("WPKY")));
        if (key.isEmpty()) {
            return false;
        }
        bag.classKeys.insert(static_cast<int>(readBe32(c.value(QStringLiteral("CLAS")), 0)), key);
    }
    if (bag.classKeys.isEmpty()) {
        return false;
    }
    *out = bag;
    return true;
}

QByteArray Keybag::wrap(int protectionClass, const QByteArray& key) const {
    const quint32 c = static_cast<quint32>(protectionClass);
    const char prefix[4] = {char(c), char(c >> 8), char(c >> 16), char(c >> 24)};
    return QByteArray(prefix, 4) + keyWrap(classKeys.value(protectionClass), key);
}

QByteArray Keybag::unwrap(const QByteArray& wrapped) const {
    if (wrapped.size() != 44) {
        return {};
    }
    const auto* p = reinterpret_cast<const unsigned char*>(wrapped.constData());
    const int c = static_cast<int>(quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24);
    if (!classKeys.contains(c)) {
        return {};
    }
    return keyUnwrap(classKeys.value(c), wrapped.mid(4));
}

// ---- Manifest.mbdb ----

namespace {
void putString(QByteArray& out, const QByteArray& v) {
    if (v.isEmpty()) {
        out += "\xff\xff";
        return;
    }
    const int n = static_cast<int>(std::min<qsizetype>(v.size(), 0xfffe));
    out += char(n >> 8);
    out += char(n);
    out += v.left(n);
}

template <typename T>
void putBe(QByteArray& out, T v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out += char((static_cast<uint64_t>(v) >> (8 * i)) & 0xff);
    }
}

struct Reader {
    const QByteArray& d;
    qsizetype pos = 0;
    uint64_t be(int bytes) {
        if (pos + bytes > d.size()) {
            fail(kErrBackupFolder, QStringLiteral("Manifest.mbdb ends inside a record"));
        }
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            v = (v << 8) | static_cast<unsigned char>(d[pos + i]);
        }
        pos += bytes;
        return v;
    }
    QByteArray str() {
        const auto n = be(2);
        if (n == 0xffff || n == 0) {
            return {};
        }
        if (pos + static_cast<qsizetype>(n) > d.size()) {
            fail(kErrBackupFolder, QStringLiteral("Manifest.mbdb ends inside a string"));
        }
        const QByteArray v = d.mid(pos, static_cast<qsizetype>(n));
        pos += static_cast<qsizetype>(n);
        return v;
    }
};
} // namespace

QByteArray mbdbBytes(const QList<Record>& records) {
    QByteArray out("mbdb\x05\x00", 6);
    for (const Record& r : records) {
        putString(out, r.domain.toUtf8());
        putString(out, r.path.toUtf8());
        putString(out, r.target);
        putString(out, r.digest);
        putString(out, r.wrappedKey);
        putBe(out, r.mode, 2);
        putBe(out, 0, 4);
        putBe(out, r.inode & 0xffffffffu, 4);
        putBe(out, 501, 4);
        putBe(out, 501, 4);
        putBe(out, static_cast<uint32_t>(r.mtime), 4);
        putBe(out, static_cast<uint32_t>(r.mtime), 4);
        putBe(out, static_cast<uint32_t>(r.birth), 4);
        putBe(out, r.size, 8);
        putBe(out, r.protection, 1);
        putBe(out, 0, 1);
    }
    return out;
}

QList<Record> parseMbdb(const QByteArray& data) {
    if (!data.startsWith(QByteArray("mbdb\x05\x00", 6))) {
        fail(kErrBackupFolder, QStringLiteral("Manifest.mbdb has no mbdb header"));
    }
    Reader rd{data, 6};
    QList<Record> out;
    while (rd.pos < data.size()) {
        Record r;
        r.domain = QString::fromUtf8(rd.str());
        r.path = QString::fromUtf8(rd.str());
        r.target = rd.str();
        r.digest = rd.str();
        r.wrappedKey = rd.str();
        r.mode = static_cast<uint16_t>(rd.be(2));
        rd.be(4);
        r.inode = rd.be(4);
        rd.be(8);
        r.mtime = static_cast<int32_t>(rd.be(4));
        rd.be(4);
        r.birth = static_cast<int32_t>(rd.be(4));
        r.size = static_cast<int64_t>(rd.be(8));
        r.protection = static_cast<int8_t>(rd.be(1));
        const auto props = rd.be(1);
        for (uint64_t i = 0; i < props; ++i) {
            rd.str();
            rd.str();
        }
        if (!r.domain.isEmpty()) {
            out.append(r);
        }
    }
    return out;
}

// ---- Manifest.db ----

namespace {
struct Db {
    sqlite3* db = nullptr;
    ~Db() { sqlite3_close(db); }
};
struct Stmt {
    sqlite3_stmt* st = nullptr;
    ~Stmt() { sqlite3_finalize(st); }
};

void exec(sqlite3* db, const char* sql, const QString& path) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const QString text = QString::fromUtf8(err ? err : "?");
        sqlite3_free(err);
        fail(kErrBackupFolder, QStringLiteral("%1: %2").arg(path, text));
    }
}

QByteArray mbFileArchive(const Record& r) {
    sim::Plist top(plist_new_dict());
    plist_dict_set_item(top.get(), "$version", plist_new_uint(100000));
    plist_dict_set_item(top.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t t = plist_new_dict();
    plist_dict_set_item(t, "root", plist_new_uid(1));
    plist_dict_set_item(top.get(), "$top", t);
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t rec = plist_new_dict();
    plist_array_append_item(objects, rec);
    plist_array_append_item(objects, plist_new_string(r.path.toUtf8().constData()));
    auto setNum = [rec](const char* key, int64_t v) { plist_dict_set_item(rec, key, plist_new_uint(uint64_t(v))); };
    setNum("Birth", r.birth);
    setNum("Flags", 0);
    setNum("GroupID", 501);
    setNum("InodeNumber", static_cast<int64_t>(r.inode));
    setNum("LastModified", r.mtime);
    setNum("LastStatusChange", r.mtime);
    setNum("Mode", r.mode);
    setNum("ProtectionClass", r.protection);
    plist_dict_set_item(rec, "RelativePath", plist_new_uid(2));
    setNum("Size", r.size);
    setNum("UserID", 501);
    if (!r.target.isEmpty()) {
        plist_dict_set_item(rec, "Target", plist_new_uid(plist_array_get_size(objects)));
        plist_array_append_item(objects, plist_new_string(r.target.constData()));
    }
    if (!r.digest.isEmpty()) {
        plist_dict_set_item(rec, "Digest", plist_new_uid(plist_array_get_size(objects)));
        plist_array_append_item(objects, plist_new_data(r.digest.constData(), uint64_t(r.digest.size())));
    }
    if (!r.wrappedKey.isEmpty()) {
        const uint32_t at = plist_array_get_size(objects);
        plist_dict_set_item(rec, "EncryptionKey", plist_new_uid(at));
        plist_t data = plist_new_dict();
        plist_dict_set_item(data, "NS.data", plist_new_data(r.wrappedKey.constData(), uint64_t(r.wrappedKey.size())));
        plist_dict_set_item(data, "$class", plist_new_uid(at + 1));
        plist_array_append_item(objects, data);
        plist_t cls = plist_new_dict();
        plist_dict_set_item(cls, "$classname", plist_new_string("NSMutableData"));
        plist_t names = plist_new_array();
        for (const char* n : {"NSMutableData", "NSData", "NSObject"}) {
            plist_array_append_item(names, plist_new_string(n));
        }
        plist_dict_set_item(cls, "$classes", names);
        plist_array_append_item(objects, cls);
    }
    plist_dict_set_item(rec, "$class", plist_new_uid(plist_array_get_size(objects)));
    plist_t cls = plist_new_dict();
    plist_dict_set_item(cls, "$classname", plist_new_string("MBFile"));
    plist_t names = plist_new_array();
    plist_array_append_item(names, plist_new_string("MBFile"));
    plist_array_append_item(names, plist_new_string("NSObject"));
    plist_dict_set_item(cls, "$classes", names);
    plist_array_append_item(objects, cls);
    plist_dict_set_item(top.get(), "$objects", objects);
    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(top.get(), &bin, &len);
    QByteArray out(bin, static_cast<qsizetype>(len));
    free(bin);
    return out;
}

int64_t numberOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_UINT) {
        return 0;
    }
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return static_cast<int64_t>(v);
}

QByteArray dataOf(plist_t node) {
    if (node && plist_get_node_type(node) == PLIST_DICT) {
        node = plist_dict_get_item(node, "NS.data");
    }
    if (!node || plist_get_node_type(node) != PLIST_DATA) {
        return {};
    }
    uint64_t n = 0;
    const char* p = plist_get_data_ptr(node, &n);
    return QByteArray(p, static_cast<qsizetype>(n));
}

// Reads one MBFile archive into r; false when it is not one.
bool decodeArchive(const QByteArray& blob, Record* r) {
    sim::Plist top = sim::parsePlist(blob.constData(), static_cast<size_t>(blob.size()));
    plist_t objects = sim::dictPath(top.get(), {"$objects"});
    plist_t root = sim::dictPath(top.get(), {"$top", "root"});
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !root || plist_get_node_type(root) != PLIST_UID) {
        return false;
    }
    auto deref = [objects](plist_t v) -> plist_t {
        if (v && plist_get_node_type(v) == PLIST_UID) {
            uint64_t i = 0;
            plist_get_uid_val(v, &i);
            return i < plist_array_get_size(objects) ? plist_array_get_item(objects, static_cast<uint32_t>(i))
                                                     : nullptr;
        }
        return v;
    };
    plist_t rec = deref(root);
    if (!rec || plist_get_node_type(rec) != PLIST_DICT) {
        return false;
    }
    auto item = [&](const char* key) { return deref(plist_dict_get_item(rec, key)); };
    r->mode = static_cast<uint16_t>(numberOf(item("Mode")));
    r->inode = static_cast<uint64_t>(numberOf(item("InodeNumber")));
    r->mtime = static_cast<int32_t>(numberOf(item("LastModified")));
    r->birth = static_cast<int32_t>(numberOf(item("Birth")));
    r->size = numberOf(item("Size"));
    r->protection = static_cast<int8_t>(numberOf(item("ProtectionClass")));
    r->digest = dataOf(item("Digest"));
    r->wrappedKey = dataOf(item("EncryptionKey"));
    r->target = QByteArray::fromStdString(sim::stringOf(item("Target")));
    return true;
}
} // namespace

void writeManifestDb(const QString& path, const QList<Record>& records) {
    Db db;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        fail(kErrBackupFolder, QStringLiteral("cannot create %1").arg(path));
    }
    exec(db.db,
         "PRAGMA journal_mode=DELETE;"
         "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
         "CREATE INDEX FilesDomainIdx ON Files(domain);"
         "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
         "CREATE INDEX FilesFlagsIdx ON Files(flags);"
         "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);"
         "BEGIN;",
         path);
    Stmt st;
    if (sqlite3_prepare_v2(db.db, "INSERT INTO Files VALUES(?,?,?,?,?)", -1, &st.st, nullptr) != SQLITE_OK) {
        fail(kErrBackupFolder, QStringLiteral("cannot fill %1").arg(path));
    }
    for (const Record& r : records) {
        const QByteArray id = r.fileId().toUtf8(), domain = r.domain.toUtf8(), rel = r.path.toUtf8();
        const QByteArray blob = mbFileArchive(r);
        sqlite3_bind_text(st.st, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st.st, 2, domain.constData(), int(domain.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st.st, 3, rel.constData(), int(rel.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(st.st, 4, r.flags());
        sqlite3_bind_blob(st.st, 5, blob.constData(), int(blob.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(st.st) != SQLITE_DONE) {
            fail(kErrBackupFolder,
                 QStringLiteral("cannot fill %1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db.db))));
        }
        sqlite3_reset(st.st);
    }
    exec(db.db, "COMMIT;", path);
}

QList<Record> readManifestDb(const QString& path, const QByteArray& password) {
    Db db;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        fail(kErrBackupFolder, QStringLiteral("cannot open %1").arg(path));
    }
    // Early iOS 10 encrypted each row instead of the whole database.
    QByteArray rowKey;
    {
        Stmt salt;
        if (sqlite3_prepare_v2(db.db, "SELECT value FROM Properties WHERE key='salt'", -1, &salt.st, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(salt.st) == SQLITE_ROW) {
            const QByteArray value(static_cast<const char*>(sqlite3_column_blob(salt.st, 0)),
                                   sqlite3_column_bytes(salt.st, 0));
            if (password.isEmpty()) {
                fail(kErrPassword, QStringLiteral("the manifest rows are encrypted"));
            }
            rowKey = QCryptographicHash::hash(password + value, QCryptographicHash::Sha1).left(16);
        }
    }
    const QByteArray rowIv = QByteArray::fromHex("4E17C2883BD065F9A12C705DE6930BB4");
    Stmt st;
    if (sqlite3_prepare_v2(db.db, "SELECT domain, relativePath, file FROM Files", -1, &st.st, nullptr) != SQLITE_OK) {
        fail(kErrBackupFolder, QStringLiteral("%1 is not a manifest database").arg(path));
    }
    QList<Record> out;
    int rc;
    while ((rc = sqlite3_step(st.st)) == SQLITE_ROW) {
        Record r;
        r.domain = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st.st, 0)));
        r.path = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st.st, 1)));
        const int n = sqlite3_column_bytes(st.st, 2);
        QByteArray blob(static_cast<const char*>(sqlite3_column_blob(st.st, 2)), n);
        if (r.domain.isEmpty()) {
            continue;
        }
        if (!rowKey.isEmpty()) {
            bool ok = false;
            blob = cbcDecrypt(rowKey, QByteArray::fromBase64(blob), rowIv, true, &ok);
            if (!ok) {
                fail(kErrPassword, QStringLiteral("record %1-%2 does not decrypt").arg(r.domain, r.path));
            }
        }
        if (n <= 0 || n > kMaxManifestBlob || !decodeArchive(blob, &r)) {
            fail(kErrBackupFolder, QStringLiteral("record %1-%2 is not readable").arg(r.domain, r.path));
        }
        out.append(r);
    }
    if (rc != SQLITE_DONE) {
        fail(kErrBackupFolder, QStringLiteral("%1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db.db))));
    }
    return out;
}

// ---- Files ----

sim::Plist readPlist(const QString& path) {
    return sim::readPlistFile(path);
}

void fsyncPath(const QString& path) {
    Fd f;
    f.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (f.fd >= 0) {
        ::fsync(f.fd);
    }
}

void writeFileAtomic(const QString& path, const QByteArray& bytes) {
    const QString tmp = path + QStringLiteral(".sbtmp");
    {
        Fd f;
        f.fd = openForWrite(tmp, 0644);
        writeAll(f.fd, bytes.constData(), bytes.size(), tmp);
        if (::fsync(f.fd) != 0) {
            failIo(QStringLiteral("cannot sync"), tmp);
        }
    }
    if (::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(path).constData()) != 0) {
        failIo(QStringLiteral("cannot replace"), path);
    }
    fsyncPath(QFileInfo(path).absolutePath());
}

void writePlistAtomic(const QString& path, plist_t node, bool binary) {
    char* out = nullptr;
    uint32_t len = 0;
    if (binary) {
        plist_to_bin(node, &out, &len);
    } else {
        plist_to_xml(node, &out, &len);
    }
    const QByteArray bytes(out, static_cast<qsizetype>(len));
    free(out);
    writeFileAtomic(path, bytes);
}

} // namespace simbackup
