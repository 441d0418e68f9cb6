// The manifest suite runs once per backup shape: "Manifest.mbdb" and
// "Manifest.db", each plain and encrypted; then on real captured files (a
// device's "Manifest.db" and a synthetic encrypted one from another tool's
// test suite), copied to a temporary folder first.

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

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(FixtureForm)

namespace {

// One row per backup shape, or per shape and file-size limit.
void addForms(std::initializer_list<int> limits = {-1}) {
    QTest::addColumn<FixtureForm>("form");
    QTest::addColumn<int>("limit"); // -1: none
    for (FixtureForm f : {FixtureForm::Mbdb, FixtureForm::MbdbEncrypted, FixtureForm::Db, FixtureForm::DbEncrypted}) {
        for (int limit : limits) {
            QTest::addRow("%s%s", fixtureFormName(f), limit < 0 ? "" : qPrintable(u"-limit-%1"_s.arg(limit)))
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

const QString kRealData = QStringLiteral(VEXLAR_REALDATA_DIR);

bool copyInto(const QString& src, const QString& dst) {
    QFile::remove(dst);
    return QFile::copy(src, dst) && QFile::setPermissions(dst, QFile::ReadOwner | QFile::WriteOwner);
}

// The tree as text: each node "name=domain:path", its children in brackets.
QString tree(const BackupManifest::_FileNode* node) {
    QStringList parts;
    for (const BackupManifest::_FileNode* c : node->children) {
        parts << c->name + u'=' + c->item.domain.toString() + u':' + c->item.relativePath.toString() +
                     (c->children.isEmpty() ? QString() : u'(' + tree(c) + u')');
    }
    return parts.join(u' ');
}

} // namespace

class TestBackupManifest : public QObject {
    Q_OBJECT

private:
    FixtureBackup make(FixtureForm form, const QList<FixtureFile>& files = defaultFixtureFiles()) {
        m_tmp = std::make_unique<QTemporaryDir>();
        const QString dir = m_tmp->filePath(u"0123456789abcdef0123456789abcdef01234567"_s);
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

    // The mvt manifest with its WAL, as "Manifest.db" of a backup folder.
    bool prepareMvt(const QTemporaryDir& tmp) {
        const QString src = kRealData + u"/mvt/Manifest.db"_s;
        if (!QFile::exists(src)) {
            return false;
        }
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const QString s = src + QLatin1String(suffix);
            if (QFile::exists(s) && !copyInto(s, tmp.filePath(u"Manifest.db"_s + QLatin1String(suffix)))) {
                return false;
            }
        }
        return true;
    }

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
        const QString plain = work.filePath(u"sms.db"_s);
        QVERIFY(writeFile(plain, QByteArray(8000, 'n')));
        const QString smsData = MBDBParser::getBKFilePath(
            m->dir, MBDBParser::getFileHashName(u"HomeDomain"_s, u"Library/SMS/sms.db"_s), false);
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
        QCOMPARE(QDir(fx.dir).entryList({u"*.new-*"_s, u"*.saving-*"_s}), QStringList());
        QCOMPARE(QDir(QFileInfo(smsData).path()).entryList({u"*.new-*"_s}), QStringList());
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
                }).contains(u"was changed by another program"_s));
        QCOMPARE(readAll(m->manifestFilePath()), after);
    }

    // A plain Manifest.db whose log still holds a committed delete: the reading sees it and the backup stays as it was.
    void committedLogIsRead() {
        TRY(fx = make(FixtureForm::Db));
        const QString db = fx.dir + u"/Manifest.db"_s, work = m_tmp->filePath(u"w.db"_s);
        QVERIFY(QFile::copy(db, work) && QFile::remove(db));
        Sqlite3DB conn;
        TRY(conn.openThrow(work, 2));
        QCOMPARE(sqlite3_exec(conn.db,
                              "pragma journal_mode=wal; pragma wal_autocheckpoint=0; delete from Files where "
                              "rowid=(select min(rowid) from Files)",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        QVERIFY(QFile::copy(work, db) && QFile::copy(work + u"-wal"_s, db + u"-wal"_s));
        conn.close();
        const QStringList files = QDir(fx.dir).entryList(QDir::Files);
        const QByteArray log = readAll(db + u"-wal"_s);
        TRY(m = openBackup(fx));
        TRY(records = MBDBParser::parse(*m));
        QCOMPARE(records.size(), fx.records.size() - 1);
        QCOMPARE(QDir(fx.dir).entryList(QDir::Files), files);
        QCOMPARE(readAll(db + u"-wal"_s), log);
    }

    // Folders only: nothing to take a key from (the interop suite puts files back with the key it gives).
    void firstEncryptedItemWithoutFiles() {
        TRY(open(FixtureForm::DbEncrypted,
                 {fixtureEntry("HomeDomain", QString()), fixtureEntry("HomeDomain", "Library")}));
        QByteArray key;
        QCOMPARE(thrownText([&] { m->firstEncryptedItem(key); }),
                 u"BackupManifest::firstEncryptedItem, no valid keys"_s);
    }

    // The stored date without a Status.plist, the folder name appended when it is not the device identifier
    // (the interop suite checks Status.plist's time, the identifier-named folder and a missing Manifest.plist).
    void readManifestInfo() {
        TRY(fx = make(FixtureForm::Mbdb));
        const QString other = m_tmp->filePath(u"abc"_s);
        QVERIFY(QDir().rename(fx.dir, other));
        BackupManifest m(other);
        TRY(m.readManifestInfo());
        QCOMPARE(m.info.date.toUTC(), QDateTime(QDate(2021, 12, 3), QTime(10, 0), Qt::UTC));
        QCOMPARE(m.displayName, u"Test Phone-abc"_s);

        // An absurdly large description is refused unread.
        QVERIFY(QFile(other + u"/Manifest.plist"_s).resize(BackupManifest::kMaxPlistSize + 1));
        QVERIFY(thrownText([&] { m.readManifestInfo(); }).contains(u"is too large"_s));
    }

    // A file where a folder is needed (created parents and sizes are checked by the interop suite's peer).
    void appendFileRefusesFileAsFolder() {
        MBDBParser::_MBDBItem file;
        file.domain.setVal("HomeDomain");
        file.relativePath.setVal("Library/A/B");
        file.mode = 0x81A4;
        QHash<QString, MBDBParser::_MBDBItem> items{{file.backupFileName(), file}};
        QTemporaryDir tmp;
        QVERIFY(writeFile(tmp.filePath(u"d.db"_s), "content"));
        QString error;
        QVERIFY(!MBDBParser::appendFile(items, tmp.filePath(u"d.db"_s), u"HomeDomain"_s, u"Library/A/B/d.db"_s, 0,
                                        nullptr, &error));
        QCOMPARE(error, u"MBDBParser::appendFile(Library/A/B/d.db) error. \"Library/A/B\" is not a folder."_s);
    }

    // Each file lists "domain|path" records (a trailing "/" marks a folder), then the tree and the index of
    // well-known names as they must come out. Paths are placed by their text: a parent path with no node puts the
    // node at the top, later records find it by its whole path, and the first of two at one place stays.
    void treeAndIndex_data() {
        QTest::addColumn<FixtureForm>("form");
        QTest::addColumn<QString>("file");
        QTest::newRow("mbdb") << FixtureForm::Mbdb << u"tree_files.txt"_s;
        QTest::newRow("db") << FixtureForm::Db << u"tree_files.txt"_s;
        QTest::newRow("odd paths") << FixtureForm::Db << u"tree_odd_paths.txt"_s;
    }
    void treeAndIndex() {
        QFETCH(FixtureForm, form);
        QFETCH(QString, file);
        QList<FixtureFile> files;
        QMap<QString, QString> expected;
        for (const QString& line :
             QString::fromUtf8(readAll(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backup/") + file)).split(u'\n')) {
            const QStringList parts = line.split(u'|');
            if (line.startsWith(u"tree="_s) || line.startsWith(u"index="_s)) {
                expected[line.section(u'=', 0, 0)] = line.section(u'=', 1);
            } else if (parts.size() == 2 && !line.startsWith(u'#')) {
                const bool folder = parts[1].endsWith(u'/');
                files << fixtureEntry("", parts[1].chopped(folder ? 1 : 0), folder ? QByteArray() : parts[1].toUtf8());
                files.last().domain = parts[0];
            }
        }
        TRY(open(form, files));
        TRY(m->parseInfo());
        QCOMPARE(tree(&m->root), expected.value(u"tree"_s));
        auto path = [](const BackupManifest::_FileNode* n) { return n ? n->item.relativePath.toString() : u"-"_s; };
        const QStringList index{path(m->smsDb),
                                path(m->callHistoryStoreData),
                                path(m->callHistoryDb),
                                path(m->recordingsDb),
                                path(m->addressBookDb),
                                m->recordings.keys().join(u','),
                                QString::number(m->voicemails.keys().value(0)),
                                m->smsFilesByDevicePath.keys().join(u','),
                                m->smsParts.keys().join(u','),
                                m->smsAttachments.keys().join(u','),
                                QString::number(m->cameraVideos.size()),
                                QString::number(m->cameraImages.size()),
                                m->photoThumbnails.keys().join(u',')};
        QCOMPARE(index.join(u'|'), expected.value(u"index"_s));
        QVERIFY(!m->smsDb || !m->smsDb->item.isFolder());
        // A second call builds nothing twice.
        TRY(m->parseInfo());
        QCOMPARE(tree(&m->root), expected.value(u"tree"_s));
    }
    // The real database read (its records are listed against the peer's reading by the interop suite) and indexed,
    // then edits saved into it are what Python's sqlite3 and plistlib read back.
    void mvtManifestReadAndSaved() {
        QTemporaryDir tmp;
        if (!prepareMvt(tmp)) {
            QSKIP("mvt/Manifest.db not present");
        }
        BackupManifest m(tmp.path());
        QHash<QString, MBDBParser::_MBDBItem> items;
        QString err = thrownText([&] {
            items = MBDBParser::parse(m);
            m.parseInfo();
        });
        QVERIFY2(err.isEmpty(), qPrintable(err));
        QCOMPARE(items.size(), 3721);
        QVERIFY(m.smsDb && m.smsDb->item.backupFileName().startsWith("3d0d7e5f"_L1) && m.smsDb->item.size == 278528);
        QVERIFY(m.callHistoryStoreData && m.callHistoryStoreData->item.backupFileName().startsWith("5a4935c7"_L1));

        const QString sms = MBDBParser::getFileHashName(u"HomeDomain"_s, u"Library/SMS/sms.db"_s);
        const QString history = MBDBParser::getFileHashName(u"HomeDomain"_s, u"Library/Safari/History.db"_s);
        items[history].deleted = true;
        const QString plain = tmp.filePath(u"edited.db"_s);
        QVERIFY(writeFile(plain, "edited"));
        QVERIFY(MBDBParser::appendFile(items, plain, u"HomeDomain"_s, u"Library/SMS/sms.db"_s, 6, nullptr, nullptr));
        err = thrownText([&] { MBDBParser::save2File(items.values(), m); });
        QVERIFY2(err.isEmpty(), qPrintable(err));
        const char* script = R"(
import plistlib, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
print(db.execute('select count(*) from Files').fetchone()[0])
print(db.execute('select count(*) from Files where fileID=?', (sys.argv[3],)).fetchone()[0])
blob, flags = db.execute('select file, flags from Files where fileID=?', (sys.argv[2],)).fetchone()
a = plistlib.loads(blob)
objs = a['$objects']
root = objs[a['$top']['root'].data]
print(flags, objs[root['RelativePath'].data], objs[root['Digest'].data].hex(), root['ProtectionClass'])
)";
        QCOMPARE(runPython({u"-c"_s, QString::fromLatin1(script), tmp.filePath(u"Manifest.db"_s), sms, history}),
                 "3720\n0\n1 Library/SMS/sms.db " + sha1Digest("edited").toHex() + " " +
                     QByteArray::number(items.value(sms).protectionClass));
    }

    // One slow derivation (DPIC 10,000,000), built from the documented keybag values.
    void pyiosbackupEncryptedManifestDecrypts() {
        const QString src = kRealData + u"/pyiosbackup/encrypted_sqlite3_db.bin"_s;
        if (!QFile::exists(src)) {
            QSKIP("pyiosbackup/encrypted_sqlite3_db.bin not present");
        }
        QTemporaryDir tmp;
        QVERIFY(copyInto(src, tmp.filePath(u"Manifest.db"_s)));

        QMap<int, QByteArray> classKeys;
        for (int c = 1; c <= 10; ++c) {
            classKeys.insert(c, QByteArray(32, '\0'));
        }
        const QByteArray bag = buildKeybag("0000", classKeys, true, 3, 10000, 10000000, QByteArray(20, '\0'));
        // The database key of that sample is itself all zero, wrapped with the class 2 key.
        const QByteArray manifestKey =
            QByteArray("\x02\0\0\0", 4) + aes_key_wrap(classKeys.value(2), QByteArray(32, '\0'));
        QVERIFY(
            writeFile(tmp.filePath(u"Manifest.plist"_s),
                      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Lockdown</key><dict>"
                      "<key>ProductVersion</key><string>10.3</string><key>DeviceName</key><string>pyiosbackup</string>"
                      "</dict><key>IsEncrypted</key><true/><key>BackupKeyBag</key><data>" +
                          bag.toBase64() + "</data><key>ManifestKey</key><data>" + manifestKey.toBase64() +
                          "</data></dict></plist>"));

        BackupManifest m(tmp.path());
        bool ok = false;
        QCOMPARE(thrownText([&] {
                     m.readManifestInfo();
                     ok = m.setPasscodeNoUIThrow(u"0000"_s);
                 }),
                 QString());
        QVERIFY(ok && m.info.isEncrypted);
        // Stored without a padding block: decrypted whole.
        QVERIFY(!m.manifestDbPadded);
        QCOMPARE(QFileInfo(m.decryptedManifestDbPath).size(), qint64(8192));

        QHash<QString, MBDBParser::_MBDBItem> items;
        QVERIFY(thrownText([&] { items = MBDBParser::parse(m); }).isEmpty());
        QCOMPARE(items.keys(), QStringList{u"5727bd1c5fa1055e15d8b4a75a74793c84b5ffdc"_s});
        QCOMPARE(items.begin()->domain.toString() + u'-' + items.begin()->relativePath.toString(),
                 u"MyTestDomain-Media/Test.txt"_s);

        // Saving re-encrypts it the way it was stored, so it decrypts again to the same database.
        QVERIFY(thrownText([&] { MBDBParser::save2File(items.values(), m); }).isEmpty());
        QCOMPARE(QFileInfo(tmp.filePath(u"Manifest.db"_s)).size(), qint64(8192));
        QVERIFY(thrownText([&] {
                    BackupManifest::decryptDatabaseFileThrow(QByteArray(32, '\0'), tmp.filePath(u"Manifest.db"_s),
                                                             tmp.filePath(u"again.db"_s));
                }).isEmpty());
        Sqlite3DB again;
        again.openThrow(tmp.filePath(u"again.db"_s), 2);
        Sqlite3Cursor c2 = again.queryThrow("select fileID from Files");
        QCOMPARE(c2.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestBackupManifest)
#include "tst_backupmanifest.moc"
