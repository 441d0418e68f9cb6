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

    struct _FileNode {
        _FileNode(_FileNode* parent, MBDBParser::_MBDBItem item, const QString& name);
        ~_FileNode();
        _FileNode(const _FileNode&) = delete;
        _FileNode& operator=(const _FileNode&) = delete;

        QString name;
        MBDBParser::_MBDBItem item;
        _FileNode* parent = nullptr;
        QList<const _FileNode*> children; // owned
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
    static void encryptFileThrow(const QString& srcPath, const QString& destPath, const QByteArray& key);
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

    _InfoPlist info;
    QString displayName;
    QString decryptedManifestDbPath;
    QByteArray manifestDbKey;
    bool manifestDbPadded = true; // how "Manifest.db" was stored, kept when it is re-encrypted
    QDir dir;
    _FileNode root;
    QString passcode;
    _KeybagInfo keybag;

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
};
