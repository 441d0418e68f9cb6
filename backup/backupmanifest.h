#pragma once

// One backup folder on disk, loaded for reading and editing.
//
// Calling order: construct, readManifestInfo, setPasscode when info.isEncrypted,
// parseInfo, then hand the object to one worker. The object owns its file tree.

#include "backup/keybag.h"
#include "backup/mbdbparser.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <deque>
#include <memory>

namespace fileutil {
class PrivateTempDir;
}

// total = size of the source file on disk, done = bytes read so far.
typedef void (*BackupProgressCallback)(long long total, long long done, void* context);

class BackupManifest : public QObject {
    Q_OBJECT
public:
    struct _InfoPlist {
        QString uniqueDeviceId;
        QString deviceName;
        QDateTime date;
        QString productType;
        QString productVersion;
        QString serialNumber;
        bool isEncrypted = false;
        QByteArray backupKeyBag;
        QByteArray manifestKey;
    };

    // A node refers to its record instead of holding a copy: a large manifest
    // would otherwise be held twice. The record must outlive the node.
    struct _FileNode {
        _FileNode(_FileNode* parent, const MBDBParser::_MBDBItem& item, const QString& name);
        _FileNode(_FileNode* parent, MBDBParser::_MBDBItem&& item, const QString& name) = delete;
        _FileNode(const _FileNode&) = delete;
        _FileNode& operator=(const _FileNode&) = delete;

        QString name;
        const MBDBParser::_MBDBItem& item;
        _FileNode* parent = nullptr;
        QList<const _FileNode*> children; // kept by the manifest
    };

    // Identity of the manifest file as it was read, to notice a change by someone else before replacing it.
    struct _FileStamp {
        qint64 size = -1; // -1: not recorded
        qint64 mtimeNs = 0;
        quint64 inode = 0;
        QByteArray head; // a database's header holds its change counter, which an edit within the same tick bumps
        bool operator==(const _FileStamp&) const = default;
    };

    explicit BackupManifest(const QString& dirPath, QObject* parent = nullptr);
    ~BackupManifest() override;

    void readManifestInfo();
    bool setPasscode(const QString& password);
    bool setPasscodeNoUIThrow(const QString& password);
    void parseInfo();

    void copyItemThrow(const MBDBParser::_MBDBItem& item, const QString& destPath, void* context,
                       BackupProgressCallback callback) const;
    void copyFile(const _FileNode* node, const QString& destPath, void* context, BackupProgressCallback callback) const;
    MBDBParser::_MBDBItem firstEncryptedItem(QByteArray& key);

    // Whole-file AES-256-CBC with the fixed IV and PKCS#7 padding, streamed in
    // 8192-byte chunks. Decrypted output is created readable by the owner only.
    static void decryptFileThrow(const QByteArray& key, const QString& srcPath, const QString& destPath, void* context,
                                 BackupProgressCallback callback);
    // Replaces destPath atomically (a temporary beside it, synced, renamed over
    // it); an empty key copies the file unchanged the same way.
    static void encryptFileThrow(const QString& srcPath, const QString& destPath, const QByteArray& key);
    // Copies src to destPath (created readable by the owner only), reporting progress.
    static void copyPlainThrow(const QString& src, const QString& destPath, void* context,
                               BackupProgressCallback callback);
    // The manifest database may be stored with or without a padding block
    // (its length is then a whole number of SQLite pages). Decrypting tells
    // which (true: padded); encrypting writes it back the same way.
    static bool decryptDatabaseFileThrow(const QByteArray& key, const QString& srcPath, const QString& destPath);
    static void encryptDatabaseFileThrow(const QString& srcPath, const QString& destPath, const QByteArray& key,
                                         bool padded);

    // The file key of a record (empty when the backup is not encrypted or the key does not unwrap).
    QByteArray fileKeyFor(const MBDBParser::_MBDBItem& item) const;
    // Path of the manifest database parse and save2File work on ("Manifest.db" or the decrypted copy).
    QString manifestDbPathInUse() const;
    // "Manifest.mbdb" or "Manifest.db" in the backup folder, whichever the backup uses.
    QString manifestFilePath() const;
    // Throws when the manifest file is no longer the one recorded by readManifestInfo or the last save.
    void checkManifestUnchangedThrow() const;
    void recordManifestStamp();

    _InfoPlist info;
    QString displayName;
    // Set by readManifestInfo when it finished an edit that was interrupted: a sentence to show the user.
    QString recoveryNote;
    QString decryptedManifestDbPath; // in plainDir, never in the backup folder
    QByteArray manifestDbKey;
    bool manifestDbPadded = true; // how "Manifest.db" was stored, kept when it is re-encrypted
    QDir dir;
    _FileNode root;
    QString passcode;
    _KeybagInfo keybag;
    _FileStamp manifestStamp;
    // Holds the decrypted manifest; removed with this object.
    std::unique_ptr<fileutil::PrivateTempDir> plainDir;

    QList<const _FileNode*> cameraImages;
    QList<const _FileNode*> cameraVideos;
    QMap<QString, const _FileNode*> photoThumbnails;
    QMap<QString, const _FileNode*> smsParts;
    QMap<QString, const _FileNode*> smsAttachments;
    QMap<QString, const _FileNode*> smsFilesByDevicePath;

    const _FileNode* smsDb = nullptr;
    const _FileNode* addressBookDb = nullptr;
    const _FileNode* addressBookImagesDb = nullptr;
    const _FileNode* notesDb = nullptr;
    const _FileNode* calendarDb = nullptr;
    const _FileNode* calendarExtrasDb = nullptr;
    const _FileNode* recordingsDb = nullptr;
    const _FileNode* voicemailDb = nullptr;
    const _FileNode* safariBookmarksDb = nullptr;
    const _FileNode* callHistoryDb = nullptr;
    const _FileNode* callHistoryStoreData = nullptr;

    QMap<QString, const _FileNode*> recordings;
    QMap<int, const _FileNode*> voicemails;

    QHash<QString, MBDBParser::_MBDBItem> items;

    static constexpr int kFileChunkSize = 8192;
    // Larger description files are refused unread.
    static constexpr qint64 kMaxPlistSize = 16 * 1024 * 1024;

private:
    // The records the tree refers to: the table as parseInfo read it, shared
    // with items until items is changed (which then detaches), so nodes keep
    // the records they were built from for the manifest's whole life.
    QHash<QString, MBDBParser::_MBDBItem> m_treeRecords;
    // The tree's nodes but the root, in one place rather than one allocation each.
    std::deque<_FileNode> m_nodes;
};
