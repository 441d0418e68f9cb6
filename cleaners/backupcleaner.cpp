#include "cleaners/backupcleaner.h"

#include "backup/backupcrypto.h"
#include "backup/backupjournal.h"
#include "backup/backupmanifest.h"
#include "backup/fileutil.h"
#include "sqlite/sqlite3db.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <exception>
#include <stdexcept>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcBackupEdit, "vexlar.cleaners.backupedit")

namespace {

[[noreturn]] void throwText(const QString& text) {
    throw std::runtime_error(text.toUtf8().toStdString());
}

QString recordName(const MBDBParser::_MBDBItem& record) {
    return record.domain.toString() + QLatin1Char('-') + record.relativePath.toString();
}

QByteArray plainDigestThrow(const QString& path) {
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!f.open(QIODevice::ReadOnly) || !hash.addData(&f)) {
        throwText(QStringLiteral("can not open %1. %2").arg(path, f.errorString()));
    }
    return hash.result();
}

// Keeps the current data file under asidePath while the new one replaces it
// atomically: a hard link costs nothing; else a synced copy, which appears
// under asidePath only when complete (recovery puts it back as it finds it).
void keepAsideThrow(const QString& dataPath, const QString& asidePath) {
    if (::link(QFile::encodeName(dataPath).constData(), QFile::encodeName(asidePath).constData()) == 0) {
        fileutil::syncFolderOf(asidePath);
    } else {
        fileutil::replaceFileWithThrow(asidePath, [&](QFile& out) {
            QFile in(dataPath);
            if (!in.open(QIODevice::ReadOnly)) {
                throwText(QStringLiteral("can not open %1. %2").arg(dataPath, in.errorString()));
            }
            QByteArray buffer;
            while (!(buffer = in.read(BackupManifest::kFileChunkSize)).isEmpty()) {
                fileutil::writeAllThrow(out, buffer);
            }
        });
    }
    fileutil::testKillPoint("aside");
}

} // namespace

// ---- the thread shape

BackupCleanerThread::BackupCleanerThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent)
    : QThread(parent), m_manifest(manifest), m_progress(progress) {}

void BackupCleanerThread::run() {
    foundBytes = 0;
    clearedBytes = 0;
    m_lastPercent = -1;
    try {
        work();
        m_progress.invokeSucceed(QString());
    } catch (int) {
        // Cancelled: the dialog has already finished; nothing was saved.
    } catch (const std::exception& e) {
        m_progress.invokeErrorOccurred(QString::fromUtf8(e.what()));
    } catch (...) {
        // Never silent: the caller would take an unreported end for success.
        m_progress.invokeErrorOccurred(QStringLiteral("The operation failed unexpectedly; the backup was not saved."));
    }
}

void BackupCleanerThread::reportPercent(int percent) {
    if (percent != m_lastPercent) {
        m_lastPercent = percent;
        m_progress.invokeUpdateProgress(QString(), percent, QString());
    }
}

qint64 BackupCleanerThread::dropOnce(BackupEdit& edit, const QString& hashName) {
    if (countedFiles && countedFiles->contains(hashName)) {
        return 0;
    }
    const qint64 size = edit.drop(hashName);
    if (countedFiles) {
        countedFiles->insert(hashName);
    }
    return size;
}

QList<BackupCleanerThread::DroppedFile>
BackupCleanerThread::dropAllThrow(BackupEdit& edit, const std::function<bool(const MBDBParser::_MBDBItem&)>& matches) {
    QList<DroppedFile> files;
    const QList<QString> names = edit.records.keys();
    const qsizetype n = names.size();
    for (qsizetype i = 1; i <= n; ++i) {
        checkCanceled();
        reportPercent(int(double(i) / double(n) * 100));
        const MBDBParser::_MBDBItem record = edit.records.value(names.at(i - 1));
        if (matches(record)) {
            const qint64 size = dropOnce(edit, names.at(i - 1));
            foundBytes += size;
            if (!scanOnly) {
                clearedBytes += size;
            }
            if (!record.isFolder()) {
                files.append({record, size});
            }
        }
    }
    return files;
}

QList<BackupCleanerThread::EditedDatabase>
BackupCleanerThread::emptyDatabasesThrow(BackupEdit& edit, const QList<QPair<QString, EmptyDatabase>>& databases,
                                         const DescribeDatabase& describe) {
    QList<EditedDatabase> edited;
    for (const auto& [hashName, empty] : databases) {
        const auto record = edit.records.constFind(hashName);
        if (record == edit.records.constEnd() || record->isFolder()) {
            continue;
        }
        const QString work = edit.copyOut(*record);
        const qint64 size = QFileInfo(work).size();
        foundBytes += size;
        Sqlite3DB db;
        if (wantDetails && describe) {
            devicedb::openThrow(db, work);
            // Details are for reading: a database of an unknown layout is still measured and emptied.
            try {
                describe(*record, size, db);
            } catch (const std::runtime_error& e) {
                qCWarning(lcBackupEdit) << "no details of" << recordName(*record) << e.what();
            }
        }
        if (scanOnly) {
            continue;
        }
        clearedBytes += size;
        if (!db.isOpen()) {
            devicedb::openThrow(db, work);
        }
        empty(db);
        devicedb::finishThrow(db);
        edited << EditedDatabase{hashName, work};
    }
    return edited;
}

void BackupCleanerThread::writeBackThrow(BackupEdit& edit, const QList<EditedDatabase>& edited) {
    for (const EditedDatabase& database : edited) {
        edit.replace(database.hashName, database.workPath);
    }
    edit.commit();
}

void BackupCleanerThread::addFileItem(const MBDBParser::_MBDBItem& record, qint64 bytes) {
    if (!wantDetails) {
        return;
    }
    cleandetails::Item item;
    item.id = recordName(record);
    item.label = record.relativePath.toString();
    item.bytes = bytes;
    item.count = 1;
    details.items.append(item);
}

void BackupCleanerThread::checkCanceled() const {
    if (m_progress.canceled) {
        throw -1;
    }
}

// ---- one edit of a backup

BackupEdit::BackupEdit(BackupManifest& manifest)
    : m_manifest(manifest), m_dir(std::make_unique<fileutil::PrivateTempDir>()) {
    if (!m_dir->isValid()) {
        throwText(QStringLiteral("Cannot create a private temporary folder: %1").arg(m_dir->errorString()));
    }
    const QString dirPath = manifest.dir.absolutePath();
    m_lock = std::make_unique<backupjournal::FolderLock>(dirPath);
    // Another process may have died in an edit since the backup was opened.
    const QString recovered = backupjournal::recoverThrow(dirPath);
    if (!recovered.isEmpty()) {
        qCWarning(lcBackupEdit).noquote() << recovered;
    }
    m_journal = std::make_unique<backupjournal::Journal>(dirPath, manifest.manifestFilePath());
    records = MBDBParser::parse(manifest);
}

BackupEdit::~BackupEdit() {
    try {
        finishJournalThrow();
    } catch (const std::exception& e) {
        // The journal stays: the next open of the backup finishes the edit.
        qCCritical(lcBackupEdit) << "could not finish the edit of" << m_manifest.dir.path() << e.what();
    }
}

qint64 BackupEdit::drop(const QString& hashName) {
    const auto it = records.find(hashName);
    if (it == records.end()) {
        return 0;
    }
    if (!it->deleted) {
        it->deleted = true;
        m_dropped << hashName;
    }
    return it->isFolder() ? 0 : qMax<qint64>(0, it->size);
}

QString BackupEdit::copyOut(const MBDBParser::_MBDBItem& record) {
    // The device's name is only a hint: no folder part, and never a name SQLite would take for a sibling.
    QString base = QFileInfo(record.relativePath.toString()).fileName();
    if (base.isEmpty() || base.startsWith(QLatin1Char('.'))) {
        base = QStringLiteral("database") + base;
    }
    qint64 stamp = QDateTime::currentMSecsSinceEpoch();
    QString path;
    while (
        QFileInfo::exists(path = m_dir->path() + QLatin1Char('/') + base + QLatin1Char('-') + QString::number(stamp))) {
        ++stamp; // two databases of the same name in one millisecond
    }
    path = m_dir->track(QFileInfo(path).fileName());
    m_manifest.copyItemThrow(record, path, nullptr, nullptr);
    // Committed rows may still live only in the log: the copy must hold it too.
    const QString domain = record.domain.toString();
    const QString relativePath = record.relativePath.toString();
    for (const char* suffix : devicedb::kSiblingSuffixes) {
        const auto sibling =
            records.constFind(MBDBParser::getFileHashName(domain, relativePath + QLatin1String(suffix)));
        if (sibling != records.constEnd() && !sibling->isFolder() && !sibling->deleted) {
            m_manifest.copyItemThrow(*sibling, path + QLatin1String(suffix), nullptr, nullptr);
        }
    }
    return path;
}

void BackupEdit::replace(const QString& hashName, const QString& workPath) {
    const auto it = records.constFind(hashName);
    if (it == records.constEnd()) {
        throwText(QStringLiteral("The record %1 is no longer in the backup's manifest.").arg(hashName));
    }
    const MBDBParser::_MBDBItem record = *it;
    // Written back under the record's own key, so the file keeps its protection class.
    QByteArray key = m_manifest.fileKeyFor(record);
    if (m_manifest.info.isEncrypted && key.isEmpty()) {
        throwText(QStringLiteral("The key of %1 cannot be unwrapped, so its edited copy cannot be encrypted.")
                      .arg(recordName(record)));
    }
    Replaced r;
    r.hashName = hashName;
    r.dataPath = MBDBParser::getBKFilePath(m_manifest.dir, hashName, false);
    r.plainDigest = plainDigestThrow(workPath);
    r.size = QFileInfo(workPath).size();
    QString stamp;
    if (QFileInfo::exists(r.dataPath)) {
        qint64 ms = QDateTime::currentMSecsSinceEpoch();
        while (QFileInfo::exists(r.dataPath + QLatin1Char('-') + QString::number(ms))) {
            ++ms;
        }
        stamp = QString::number(ms);
        r.asidePath = r.dataPath + QLatin1Char('-') + stamp;
    }
    m_journal->addThrow(hashName, stamp); // from here on, the journal restores it
    m_replaced << r;
    if (!r.asidePath.isEmpty()) {
        keepAsideThrow(r.dataPath, r.asidePath);
    }
    try {
        BackupManifest::encryptFileThrow(workPath, r.dataPath, key);
    } catch (...) {
        secureWipe(key);
        throw;
    }
    secureWipe(key);
    QString error;
    // The record's digest is that of the plain content, as the device writes it.
    if (!MBDBParser::appendFile(records, workPath, record.domain.toString(), record.relativePath.toString(), r.size,
                                &record, &error)) {
        throwText(error);
    }
    for (const char* suffix : devicedb::kSiblingSuffixes) {
        drop(MBDBParser::getFileHashName(record.domain.toString(),
                                         record.relativePath.toString() + QLatin1String(suffix)));
    }
}

void BackupEdit::finishJournalThrow() {
    if (m_journal && m_journal->isWritten()) {
        // Held under our lock: whatever the journal names is this edit's own.
        backupjournal::recoverThrow(m_manifest.dir.absolutePath());
        m_journal.reset();
    }
}

void BackupEdit::commit() {
    // Under the lock, every "*.new-<n>" file is one a killed save left behind.
    backupjournal::removeAbandonedTemporaries(m_manifest.dir.absolutePath());
    MBDBParser::save2File(records.values(), m_manifest); // on failure the destructor puts the data files back
    finishJournalThrow();
    verifyThrow();
}

void BackupEdit::verifyThrow() {
    const QHash<QString, MBDBParser::_MBDBItem> saved = MBDBParser::parse(m_manifest);
    for (const QString& hashName : std::as_const(m_dropped)) {
        if (saved.contains(hashName)) {
            throwText(QStringLiteral("The saved manifest still lists %1.").arg(recordName(saved.value(hashName))));
        }
    }
    for (const Replaced& r : std::as_const(m_replaced)) {
        const auto it = saved.constFind(r.hashName);
        const QString check = m_dir->track(QStringLiteral("check-") + r.hashName);
        if (it != saved.constEnd() && it->size == r.size) {
            m_manifest.copyItemThrow(*it, check, nullptr, nullptr);
            const bool same = plainDigestThrow(check) == r.plainDigest;
            QFile::remove(check);
            if (same) {
                continue;
            }
        }
        throwText(QStringLiteral("The backup does not read back the edited %1.").arg(r.dataPath));
    }
}

// ---- device databases

namespace devicedb {

void openThrow(Sqlite3DB& db, const QString& path) {
    db.openThrow(path, 2);
    // Functions the device's triggers call. The files they would delete are
    // dropped from the manifest instead; read() says "read" so that no unread
    // counter is touched on the way.
    const auto zero = [](const QList<QVariant>&) { return QVariant(0); };
    db.createFunctionThrow(QStringLiteral("delete_attachment_path"), 1, zero);
    db.createFunctionThrow(QStringLiteral("before_delete_attachment_path"), 2, zero);
    db.createFunctionThrow(QStringLiteral("read"), 1, [](const QList<QVariant>&) { return QVariant(1); });
}

QHash<QString, QString> tablesThrow(Sqlite3DB& db) {
    QHash<QString, QString> tables;
    Sqlite3Cursor c = db.queryThrow("select name,sql from sqlite_master where type='table'");
    while (c.moveNext()) {
        tables.insert(c.getText(QStringLiteral("name")).toLower(), c.getText(QStringLiteral("sql")));
    }
    return tables;
}

QDateTime unixTimeAt(const Sqlite3Cursor& c, const QString& column) {
    return c.isNull(column) ? QDateTime() : QDateTime::fromSecsSinceEpoch(c.getInt64(column), Qt::UTC);
}

void finishThrow(Sqlite3DB& db) {
    // The restored device must find every change in the file itself, with no log to replay.
    Sqlite3Cursor mode = db.queryThrow("PRAGMA journal_mode=DELETE");
    if (!mode.moveNext() ||
        mode.getText(QStringLiteral("journal_mode")).compare(QLatin1String("delete"), Qt::CaseInsensitive) != 0) {
        throwText(QStringLiteral("The edited database cannot leave its write-ahead log."));
    }
    mode = Sqlite3Cursor();
    Sqlite3Cursor check = db.queryThrow("PRAGMA integrity_check");
    const QString verdict = check.moveNext() ? check.getText(QStringLiteral("integrity_check")) : QString();
    if (verdict != QLatin1String("ok")) {
        throwText(QStringLiteral("The edited database fails its integrity check: %1").arg(verdict));
    }
    check = Sqlite3Cursor();
    db.close();
}

} // namespace devicedb
