// The manifest suite runs once per backup shape: "Manifest.mbdb" and
// "Manifest.db", each plain and encrypted.

#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "backupfixture.h"
#include "sqlite/sqlite3db.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <sqlite3.h>
#include <sys/resource.h>

Q_DECLARE_METATYPE(FixtureForm)

namespace {

// One row per backup shape, or per shape and file-size limit.
void addForms(std::initializer_list<int> limits = {-1}) {
    QTest::addColumn<FixtureForm>("form");
    QTest::addColumn<int>("limit"); // -1: none
    for (FixtureForm f : {FixtureForm::Mbdb, FixtureForm::MbdbEncrypted, FixtureForm::Db, FixtureForm::DbEncrypted}) {
        for (int limit : limits) {
            QTest::addRow("%s%s", fixtureFormName(f),
                          limit < 0 ? "" : qPrintable(QStringLiteral("-limit-%1").arg(limit)))
                << f << limit;
        }
    }
}

// Opens a fixture backup the way the cleaning actions do.
std::unique_ptr<BackupManifest> openBackup(const FixtureBackup& fx) {
    auto m = std::make_unique<BackupManifest>(fx.dir);
    m->readManifestInfo();
    if (m->info.isEncrypted && !m->setPasscodeNoUIThrow(fx.password)) {
        throw std::runtime_error("fixture password rejected");
    }
    return m;
}

// Lowers the file-size limit so the next write past `bytes` fails with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
};

#define TRY(stmt)                                                                                                      \
    try {                                                                                                              \
        stmt;                                                                                                          \
    } catch (const std::exception& e) {                                                                                \
        QFAIL(e.what());                                                                                               \
    }

} // namespace

class TestBackupManifest : public QObject {
    Q_OBJECT

private:
    FixtureBackup make(FixtureForm form, const QList<FixtureFile>& files = defaultFixtureFiles()) {
        m_tmp = std::make_unique<QTemporaryDir>();
        const QString dir = m_tmp->filePath(QStringLiteral("0123456789abcdef0123456789abcdef01234567"));
        QDir().mkpath(dir);
        return writeFixtureBackup(dir, form, files);
    }
    // Writes a fixture and opens it as the cleaning actions do: fx, m and records.
    void open(FixtureForm form, const QList<FixtureFile>& files = defaultFixtureFiles()) {
        fx = make(form, files);
        m = openBackup(fx);
        records = MBDBParser::parse(*m);
    }
    std::unique_ptr<QTemporaryDir> m_tmp;
    FixtureBackup fx;
    std::unique_ptr<BackupManifest> m;
    QHash<QString, MBDBParser::_MBDBItem> records;

private slots:
    void failedSaveKeepsManifest_data() { addForms({0, 100, 1000, 3000}); }
    void failedSaveKeepsManifest() {
        QFETCH(FixtureForm, form);
        QFETCH(int, limit);
        TRY(open(form));
        // Every record rewritten: the new manifest is as large as the old one, so the limit cuts it short.
        for (auto it = records.begin(); it != records.end(); ++it) {
            it->modified = true;
            it->lastModified += 1;
        }
        const QString manifestFile = m->manifestFilePath();
        const QByteArray before = readAll(manifestFile);
        QVERIFY(before.size() > limit);
        // A data file put back the same way: the new content is larger than the limit.
        QByteArray key;
        if (fx.encrypted()) {
            TRY(m->firstEncryptedItem(key));
        }
        QTemporaryDir work;
        const QString plain = work.filePath(QStringLiteral("sms.db"));
        QVERIFY(writeFile(plain, QByteArray(8000, 'n')));
        const QString smsData = MBDBParser::getBKFilePath(
            m->dir, MBDBParser::getFileHashName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")),
            false);
        const QByteArray smsBefore = readAll(smsData);
        QString saveError, putError;
        {
            FileSizeLimit fsize(static_cast<rlim_t>(limit));
            putError = thrownText([&] { BackupManifest::encryptFileThrow(plain, smsData, key); });
            saveError = thrownText([&] { MBDBParser::save2File(records.values(), *m); });
        }
        QVERIFY2(!saveError.isEmpty(), "a save that could not be written reported success");
        QVERIFY2(!putError.isEmpty(), "a data file that could not be written reported success");
        QCOMPARE(readAll(manifestFile), before);
        QCOMPARE(readAll(smsData), smsBefore);
        // No half-written leftovers beside it.
        QCOMPARE(QDir(fx.dir).entryList({QStringLiteral("*.new-*"), QStringLiteral("*.saving-*")}), QStringList());
        QCOMPARE(QDir(QFileInfo(smsData).path()).entryList({QStringLiteral("*.new-*")}), QStringList());
    }

    // Someone else saved after we opened: our save must not silently undo theirs.
    void saveRefusesChangedManifest_data() { addForms(); }
    void saveRefusesChangedManifest() {
        QFETCH(FixtureForm, form);
        TRY(open(form));
        std::unique_ptr<BackupManifest> other;
        TRY(other = openBackup(fx));
        QHash<QString, MBDBParser::_MBDBItem> theirs;
        TRY(theirs = MBDBParser::parse(*other));
        theirs.begin()->deleted = true;
        TRY(MBDBParser::save2File(theirs.values(), *other));
        const QByteArray after = readAll(m->manifestFilePath());

        records.begin()->modified = true;
        QVERIFY(thrownText([&] {
                    MBDBParser::save2File(records.values(), *m);
                }).contains(QStringLiteral("was changed by another program")));
        QCOMPARE(readAll(m->manifestFilePath()), after);
    }

    // A plain Manifest.db whose log still holds a committed delete: the reading sees it and the backup stays as it was.
    void committedLogIsRead() {
        TRY(fx = make(FixtureForm::Db));
        const QString db = fx.dir + QStringLiteral("/Manifest.db"), work = m_tmp->filePath(QStringLiteral("w.db"));
        QVERIFY(QFile::copy(db, work) && QFile::remove(db));
        Sqlite3DB conn;
        TRY(conn.openThrow(work, 2));
        QCOMPARE(sqlite3_exec(conn.db,
                              "pragma journal_mode=wal; pragma wal_autocheckpoint=0; delete from Files where "
                              "rowid=(select min(rowid) from Files)",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        QVERIFY(QFile::copy(work, db) && QFile::copy(work + QStringLiteral("-wal"), db + QStringLiteral("-wal")));
        conn.close();
        const QStringList files = QDir(fx.dir).entryList(QDir::Files);
        const QByteArray log = readAll(db + QStringLiteral("-wal"));
        TRY(m = openBackup(fx));
        TRY(records = MBDBParser::parse(*m));
        QCOMPARE(records.size(), fx.records.size() - 1);
        QCOMPARE(QDir(fx.dir).entryList(QDir::Files), files);
        QCOMPARE(readAll(db + QStringLiteral("-wal")), log);
    }

    void firstEncryptedItem_data() { addForms(); }
    void firstEncryptedItem() {
        QFETCH(FixtureForm, form);
        TRY(open(form));
        QByteArray key;
        const QString noKeys = QStringLiteral("BackupManifest::firstEncryptedItem, no valid keys");
        // Encrypted: the interop suite puts files back with the template and key it gives.
        QCOMPARE(thrownText([&] { m->firstEncryptedItem(key); }).isEmpty(), fx.encrypted());
        // Folders only: nothing to take a key from.
        TRY(open(form, {fixtureEntry("HomeDomain", QString()), fixtureEntry("HomeDomain", "Library")}));
        QCOMPARE(thrownText([&] { m->firstEncryptedItem(key); }), noKeys);
    }

    // The stored date without a Status.plist, the folder name appended when it is not the device identifier
    // (the interop suite checks the identifier-named folder and a missing Manifest.plist).
    void readManifestInfo() {
        TRY(fx = make(FixtureForm::Mbdb));
        BackupManifest m(fx.dir);
        TRY(m.readManifestInfo());
        QCOMPARE(m.info.date.toUTC(), QDateTime(QDate(2021, 12, 3), QTime(10, 0), Qt::UTC));

        // Status.plist's time wins over the stored date.
        const QString other = m_tmp->filePath(QStringLiteral("abc"));
        QVERIFY(QDir().rename(fx.dir, other));
        QFile status(other + QStringLiteral("/Status.plist"));
        QVERIFY(status.open(QIODevice::WriteOnly));
        const QDateTime when(QDate(2024, 2, 29), QTime(12, 0), Qt::UTC);
        QVERIFY(status.setFileTime(when, QFileDevice::FileModificationTime));
        status.close();
        BackupManifest m2(other);
        TRY(m2.readManifestInfo());
        QCOMPARE(m2.displayName, QStringLiteral("Test Phone-abc"));
        QCOMPARE(m2.info.date.toUTC(), when);

        // An absurdly large description is refused unread.
        QFile plist(other + QStringLiteral("/Manifest.plist"));
        QVERIFY(plist.resize(BackupManifest::kMaxPlistSize + 1));
        QVERIFY(thrownText([&] { m2.readManifestInfo(); }).contains(QStringLiteral("is too large")));
    }

    // A file where a folder is needed (created parents and sizes are checked by the interop suite's peer).
    void appendFileRefusesFileAsFolder() {
        MBDBParser::_MBDBItem file;
        file.domain.setVal("HomeDomain");
        file.relativePath.setVal("Library/A/B");
        file.mode = 0x81A4;
        QHash<QString, MBDBParser::_MBDBItem> items{{file.backupFileName(), file}};
        QTemporaryDir tmp;
        QVERIFY(writeFile(tmp.filePath(QStringLiteral("d.db")), "content"));
        QString error;
        QVERIFY(!MBDBParser::appendFile(items, tmp.filePath(QStringLiteral("d.db")), QStringLiteral("HomeDomain"),
                                        QStringLiteral("Library/A/B/d.db"), 0, nullptr, &error));
        QCOMPARE(error,
                 QStringLiteral("MBDBParser::appendFile(Library/A/B/d.db) error. \"Library/A/B\" is not a folder."));
    }

    void treeAndIndex_data() {
        QTest::addColumn<FixtureForm>("form");
        QTest::newRow("mbdb") << FixtureForm::Mbdb;
        QTest::newRow("db") << FixtureForm::Db;
    }
    void treeAndIndex() {
        QFETCH(FixtureForm, form);
        // "domain|path", a trailing '/' marking a folder.
        QList<FixtureFile> files;
        for (const char* entry : {"HomeDomain|Library/",
                                  "HomeDomain|Library/Preferences/",
                                  "RootDomain|Library/Preferences/",
                                  "AppDomain-com.example.app|/",
                                  "AppDomain-com.example.app|Documents/",
                                  "AppDomain-com.example.app|Documents/a.txt",
                                  "AppDomainGroup-group.example|/",
                                  "AppDomainGroup-group.example|x.plist",
                                  "FooDomain|/",
                                  "FooDomain|x/",
                                  "FooDomain|x/y",
                                  "HomeDomain|Orphan/dir/file.txt",
                                  "HomeDomain|library/sms/SMS.DB",
                                  "homedomain|Library/CallHistoryDB/CallHistory.storedata",
                                  "MediaDomain|Library/SMS/Attachments/0a/00/IMG_0001-preview-left.jpg",
                                  "MediaDomain|Library/SMS/Attachments/0a/00/IMG_0001.jpg",
                                  "MediaDomain|Library/SMS/Parts/a/b/part7.txt",
                                  "MediaDomain|Media/Recordings/Recordings.db",
                                  "MediaDomain|Media/Recordings/memo1.m4a",
                                  "CameraRollDomain|Media/DCIM/100APPLE/IMG_0001.MOV",
                                  "CameraRollDomain|Media/DCIM/100APPLE/IMG_0002.JPG",
                                  "CameraRollDomain|Media/DCIM/100APPLE/IMG_0003.PNG",
                                  "CameraRollDomain|Media/DCIM/100APPLE/IMG_0004.HEIC",
                                  "CameraRollDomain|Media/PhotoData/MetaData/DCIM/100APPLE/IMG_0002.THM",
                                  "CameraRollDomain|Media/DCIM/.THMB/x/100APPLE___IMG_0003.jpg",
                                  "HomeDomain|Library/Voicemail/12.amr",
                                  "WirelessDomain|Library/CallHistory/call_history.db"}) {
            const QStringList parts = QString::fromLatin1(entry).split(QLatin1Char('|'));
            FixtureFile f = fixtureEntry("", parts[1].chopped(parts[1].endsWith(QLatin1Char('/')) ? 1 : 0),
                                         parts[1].endsWith(QLatin1Char('/')) ? QByteArray() : parts[1].toLatin1());
            f.domain = parts[0];
            files << f;
        }
        TRY(open(form, files));
        TRY(m->parseInfo());

        // Children named name under n (null n: none); node() walks a path from the root.
        auto named = [](const BackupManifest::_FileNode* n, const QString& name) {
            QList<const BackupManifest::_FileNode*> found(n ? n->children : decltype(n->children){});
            found.removeIf([&](const BackupManifest::_FileNode* c) { return c->name != name; });
            return found;
        };
        auto child = [&](const BackupManifest::_FileNode* n, const QString& name) {
            return named(n, name).value(0, nullptr);
        };
        auto node = [&](const QString& path) {
            const BackupManifest::_FileNode* n = &m->root;
            for (const QString& part : path.split(QLatin1Char('/'))) {
                n = child(n, part);
            }
            return n;
        };
        // Home and Root share the merged tree; HomeDomain sorts first and wins.
        const BackupManifest::_FileNode* prefs = node(QStringLiteral("Library/Preferences"));
        QVERIFY(prefs);
        QCOMPARE(prefs->item.domain.toString(), QStringLiteral("HomeDomain"));
        QCOMPARE(named(node(QStringLiteral("Library")), QStringLiteral("Preferences")).size(), 1);
        QVERIFY(node(QStringLiteral("Applications/com.example.app/Documents/a.txt")));
        QVERIFY(node(QStringLiteral("AppDomainGroup/group.example/x.plist")));
        QVERIFY(node(QStringLiteral("FooDomain/x/y")));
        QVERIFY(node(QStringLiteral("FooDomain"))->item.isFolder());
        QCOMPARE(node(QStringLiteral("FooDomain"))->children.size(), 1);
        // A file whose parent has no record hangs off the root.
        QVERIFY(child(&m->root, QStringLiteral("file.txt")));
        // Index: case-insensitive well-known names; a lower-case domain gets its own top folder.
        QVERIFY(m->smsDb);
        QCOMPARE(m->smsDb->item.relativePath.toString(), QStringLiteral("library/sms/SMS.DB"));
        QVERIFY(m->callHistoryStoreData);
        QVERIFY(child(&m->root, QStringLiteral("homedomain")));
        QVERIFY(!m->smsDb->item.isFolder());
        QVERIFY(m->callHistoryDb);
        QVERIFY(m->recordingsDb);
        QCOMPARE(m->recordings.keys(), QStringList{QStringLiteral("memo1.m4a")});
        QVERIFY(m->voicemails.contains(12));
        QVERIFY(m->smsFilesByDevicePath.contains(
            QStringLiteral("/var/mobile/Library/SMS/Attachments/0a/00/IMG_0001-preview")));
        QVERIFY(m->smsFilesByDevicePath.contains(
            QStringLiteral("/var/mobile/Library/SMS/Attachments/0a/00/IMG_0001-preview-left")));
        QVERIFY(m->smsFilesByDevicePath.contains(QStringLiteral("/var/mobile/Library/SMS/Attachments/0a/00/IMG_0001")));
        QVERIFY(m->smsParts.contains(QStringLiteral("part7")));
        QVERIFY(m->smsAttachments.contains(QStringLiteral("0a/IMG_0001")) == false);
        QCOMPARE(m->cameraVideos.size(), 1);
        QCOMPARE(m->cameraImages.size(), 2);
        QCOMPARE(m->photoThumbnails.keys(), (QStringList{QStringLiteral("IMG_0002"), QStringLiteral("IMG_0003")}));
        QVERIFY(!m->addressBookDb);

        // A second call builds nothing twice.
        const qsizetype top = m->root.children.size();
        TRY(m->parseInfo());
        QCOMPARE(m->root.children.size(), top);
    }
};

QTEST_GUILESS_MAIN(TestBackupManifest)
#include "tst_backupmanifest.moc"
