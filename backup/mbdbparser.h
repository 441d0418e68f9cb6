#pragma once

// The file manifest of a backup, in either of its two forms.
//
// "Manifest.mbdb" (older devices), all integers big-endian, no padding:
//   "mbdb" 0x05 0x00, then records back to back until the end of the file.
//   String field: 2-byte length then the bytes; 0xFFFF means absent, 0 empty.
//   Record: domain, relativePath, linkTarget, digest, encryptionKey (string
//   fields); mode (2); inodeHigh (4); inode low half (4); userId, groupId,
//   lastModified, lastStatusChange, birth (4 each); size (8);
//   protectionClass (1); property count (1); count pairs of string fields.
//
// "Manifest.db" (iOS 10 and later): SQLite table Files(fileID, domain,
// relativePath, flags, file) where file is a binary property list holding an
// "MBFile" keyed archive, or, when table Properties has a "salt" row, the
// Base64 of that property list encrypted with AES-128-CBC (fileDescKey).

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QList>
#include <QString>
#include <memory>

class BackupManifest;
class QIODevice;

class MBDBParser {
public:
    struct _MBDBBinary {
        static constexpr quint16 kAbsent = 0xFFFF;
        // Null when the field is absent, empty when it is present but empty.
        QByteArray data;

        // The length as "Manifest.mbdb" stores it (kAbsent for an absent field).
        quint16 length() const { return data.isNull() ? kAbsent : static_cast<quint16>(data.size() & 0xFFFF); }
        bool isValid() const { return !data.isEmpty(); }
        QString toString() const { return isValid() ? QString::fromUtf8(data) : QString(); }
        void setVal(const QByteArray& bytes) { data = bytes.isNull() ? QByteArray("", 0) : bytes; }
        bool operator==(const _MBDBBinary& other) const {
            return data.isNull() == other.data.isNull() && data == other.data;
        }
    };

    struct _MBDBProperty {
        _MBDBBinary name;
        _MBDBBinary value;
        bool operator==(const _MBDBProperty&) const = default;
    };

    // The extended attributes of a record ("Manifest.mbdb" only). Few records
    // have any, so a record without them pays for one pointer, not a list.
    class _MBDBProperties {
    public:
        _MBDBProperties() = default;
        _MBDBProperties(const _MBDBProperties& other)
            : m_list(other.m_list ? std::make_unique<QList<_MBDBProperty>>(*other.m_list) : nullptr) {}
        _MBDBProperties(_MBDBProperties&&) noexcept = default;
        _MBDBProperties& operator=(const _MBDBProperties& other) {
            if (this != &other) {
                *this = _MBDBProperties(other);
            }
            return *this;
        }
        _MBDBProperties& operator=(_MBDBProperties&&) noexcept = default;

        qsizetype size() const { return m_list ? m_list->size() : 0; }
        bool isEmpty() const { return size() == 0; }
        const _MBDBProperty& at(qsizetype i) const { return m_list->at(i); }
        const _MBDBProperty& first() const { return m_list->first(); }
        const _MBDBProperty* begin() const { return m_list ? m_list->constData() : nullptr; }
        const _MBDBProperty* end() const { return m_list ? m_list->constData() + m_list->size() : nullptr; }
        void append(const _MBDBProperty& property) {
            if (!m_list) {
                m_list = std::make_unique<QList<_MBDBProperty>>();
            }
            m_list->append(property);
        }
        _MBDBProperties& operator<<(const _MBDBProperty& property) {
            append(property);
            return *this;
        }
        bool operator==(const _MBDBProperties& other) const {
            return isEmpty() ? other.isEmpty() : other.m_list && *m_list == *other.m_list;
        }

    private:
        std::unique_ptr<QList<_MBDBProperty>> m_list;
    };

    struct _MBDBItem {
        _MBDBBinary domain;
        _MBDBBinary relativePath;
        _MBDBBinary linkTarget;
        _MBDBBinary digest;
        _MBDBBinary encryptionKey;
        // Widest first: a large manifest holds hundreds of thousands of records.
        quint64 inode = 0;
        qint64 size = 0;
        quint32 inodeHigh = 0;
        qint32 userId = 0;
        qint32 groupId = 0;
        qint32 lastModified = 0;
        qint32 lastStatusChange = 0;
        qint32 birth = 0;
        quint16 mode = 0;
        qint8 protectionClass = 0;
        bool added = false;
        bool modified = false;
        bool deleted = false;
        _MBDBProperties properties;

        static constexpr quint16 kModeFolderBit = 0x4000;
        bool isFolder() const { return (mode & kModeFolderBit) != 0; }
        QString backupFileName() const;
    };

    // Caps on hostile input.
    static constexpr int kMaxMbdbProperties = 255; // one unsigned byte
    static constexpr qint64 kMaxMbFilePlistSize = 1 << 20;

    // Flags column of "Manifest.db".
    static constexpr int kFlagsFile = 1;
    static constexpr int kFlagsFolder = 2;
    static constexpr int kFlagsSymlink = 4;

    static bool isIos10Mbdb(const QDir& dir);
    static QString getFileHashName(const QString& domain, const QString& relativePath);
    static QString getBKFilePath(const QDir& dir, const QString& hashName, bool createFolder);
    static QByteArray readFileHash(const QString& path);

    // Reads the manifest of the backup; throws std::runtime_error.
    static QHash<QString, _MBDBItem> parse(const BackupManifest& manifest);
    // Reads one "Manifest.mbdb" file (path) on its own; throws.
    static QHash<QString, _MBDBItem> parseMbdbFile(const QString& path);
    // Reads records from a device positioned at the first record (after the header).
    static QHash<QString, _MBDBItem> parseMbdbRecords(QIODevice& in);
    // Writes the header and every record not flagged deleted, sorted; throws.
    static void writeMbdbRecords(QIODevice& out, QList<_MBDBItem> items);

    static bool appendFile(QHash<QString, _MBDBItem>& items, const QString& srcFile, const QString& domain,
                           const QString& relativePath, long long size, const _MBDBItem* templ, QString* error);

    // Writes the manifest back in the form it came in; a failure leaves the
    // previous manifest in place and readable. Throws std::runtime_error.
    static void save2File(QList<_MBDBItem> items, BackupManifest& manifest);

    static QByteArray mbFilePlist(const _MBDBItem& item);
    // Decodes one "MBFile" archive (binary or XML property list); throws on malformed input.
    static _MBDBItem itemFromMbFilePlist(const QByteArray& plist, const QString& domain, const QString& relativePath);

    static QByteArray fileDescKey(const QByteArray& secret, const QByteArray& salt);
    static QByteArray decryptFileDescThrow(const QByteArray& data, const QByteArray& key);
    static QByteArray encryptFileDescThrow(const QByteArray& data, const QByteArray& key);
};

bool compareMBDBItemLess(const MBDBParser::_MBDBItem& a, const MBDBParser::_MBDBItem& b);

// Field readers and writers of "Manifest.mbdb": a short read or write throws
// std::runtime_error; integers are big-endian.
MBDBParser::_MBDBBinary g_readBinary(QIODevice& in);
quint16 g_readInt16(QIODevice& in);
quint32 g_readInt32(QIODevice& in);
quint64 g_readInt64(QIODevice& in);
quint8 g_readByte(QIODevice& in);
void g_writeBinary(QIODevice& out, const MBDBParser::_MBDBBinary& value);
void g_writeInt16(QIODevice& out, quint16 value);
void g_writeInt32(QIODevice& out, quint32 value);
void g_writeInt64(QIODevice& out, quint64 value);
void g_writeByte(QIODevice& out, quint8 value);
