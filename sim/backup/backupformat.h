#pragma once

// The on-disk pieces of a device backup as the helper writes and reads them:
// file records, the two manifest forms, the keybag and whole-file encryption.
// Kept separate from the program's backup store on purpose, so that each side
// checks the other.

#include "sim/framework/simstore.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <cstdint>
#include <functional>

namespace simbackup {

// A run ends early with an error code for the driver and a reason for its log.
struct Failure {
    int code;
    QString why;
};

// Codes the helper answers with when nothing more specific applies.
constexpr int kErrConnect = -2;       // no such device, or not plugged in at the start
constexpr int kErrUnknown = -3;       // malformed request or an internal fault
constexpr int kErrPassword = -5;      // restore of an encrypted backup without the right password
constexpr int kErrAttach = -10;       // the device went away during the transfer
constexpr int kErrBackupFolder = -20; // backup folder unusable (backup) or backup invalid (restore)
constexpr int kErrNoSpace = -36;      // the disk filled up

constexpr uint16_t kModeDir = 0040755;
constexpr uint16_t kModeFile = 0100644;
constexpr uint16_t kModeLink = 0120755;
constexpr int kFlagFile = 1, kFlagDir = 2, kFlagLink = 4;

struct Record {
    QString domain;
    QString path; // inside the domain, no leading slash; empty for the domain's root
    QByteArray target;
    QByteArray digest;     // SHA-1 of the plain data (Manifest.mbdb only)
    QByteArray wrappedKey; // 4-byte little-endian class, then the RFC 3394 wrapped file key
    uint16_t mode = kModeDir;
    uint64_t inode = 0;
    int32_t mtime = 0;
    int32_t birth = 0;
    int64_t size = 0;
    int protection = 0;

    bool isDir() const { return (mode & 0170000) == 0040000; }
    bool isLink() const { return (mode & 0170000) == 0120000; }
    bool isFile() const { return (mode & 0170000) == 0100000; }
    int flags() const { return isDir() ? kFlagDir : isLink() ? kFlagLink : kFlagFile; }
    QString fileId() const;
};

QString fileIdOf(const QString& domain, const QString& path);
// Where a record's data lies in a backup folder of either form.
QString dataPath(const QString& backupDir, const QString& fileId, bool mbdb);

// --- Crypto ---
QByteArray randomBytes(int n);
QByteArray keyWrap(const QByteArray& kek, const QByteArray& key);
QByteArray keyUnwrap(const QByteArray& kek, const QByteArray& wrapped); // empty when it does not unwrap
QByteArray pbkdf2(bool sha256, const QByteArray& secret, const QByteArray& salt, int iterations);
QByteArray cbcDecrypt(const QByteArray& key, const QByteArray& data, const QByteArray& iv, bool padded, bool* ok);
QByteArray cbcEncrypt(const QByteArray& key, const QByteArray& data, const QByteArray& iv);

// Streams src to dst (created 0600 then renamed by the caller), encrypting with
// key when it is not empty; returns the SHA-1 of the plain data. progress is
// called with each chunk's plain length. Throws Failure.
using Progress = std::function<void(qint64)>;
QByteArray copyEncrypting(const QString& src, const QString& dst, const QByteArray& key, const Progress& progress);
// Streams the stored data of a record to dst (decrypting when key is set) and
// returns the SHA-1 of the plain data; an empty dst only hashes.
QByteArray copyDecrypting(const QString& src, const QString& dst, const QByteArray& key, const Progress& progress);

QByteArray fileSha1(const QString& path); // empty when unreadable

// The backup keybag: class keys for classes 1 to 11, wrapped with the
// password key (double derivation with DPIC/DPSL from iOS 10.2).
struct Keybag {
    QByteArray blob;
    QMap<int, QByteArray> classKeys;
    bool dp = false;

    static Keybag create(const QByteArray& password, bool dp);
    // False for a wrong password or a keybag that cannot be read.
    static bool unlock(const QByteArray& blob, const QByteArray& password, Keybag* out);
    QByteArray wrap(int protectionClass, const QByteArray& key) const;
    QByteArray unwrap(const QByteArray& wrapped) const; // class from the prefix
};

// --- Manifests ---
QByteArray mbdbBytes(const QList<Record>& records);
// Throws Failure(kErrBackupFolder) on a malformed file.
QList<Record> parseMbdb(const QByteArray& data);
// Writes a fresh Manifest.db at path (which must not exist).
void writeManifestDb(const QString& path, const QList<Record>& records);
// Rows encrypted with a "salt" property need the backup password.
QList<Record> readManifestDb(const QString& path, const QByteArray& password);

// Property list file helpers.
sim::Plist readPlist(const QString& path);
// Writes atomically (temporary beside it, fsync, rename); XML or binary.
void writePlistAtomic(const QString& path, plist_t node, bool binary);
// Writes bytes atomically the same way.
void writeFileAtomic(const QString& path, const QByteArray& bytes);
void fsyncPath(const QString& path);

} // namespace simbackup
