#pragma once

// Builds small device-like backups in a folder, in all four shapes the store
// reads: "Manifest.mbdb" or "Manifest.db", plain or encrypted (the encrypted
// "Manifest.db" form with a DPIC/DPSL keybag and an encrypted database).
// Iteration counts are tiny so tests stay fast.

#include "backup/mbdbparser.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <array>
#include <functional>
#include <stdexcept>

struct FixtureFile {
    QString domain;
    QString relativePath;
    bool folder = false;
    QByteArray content;
    qint8 protectionClass = 3;
    qint32 lastModified = 1500000000;
};

enum class FixtureForm { Mbdb, MbdbEncrypted, Db, DbEncrypted };

struct FixtureBackup {
    QString dir;
    FixtureForm form = FixtureForm::Mbdb;
    QString password;
    QMap<int, QByteArray> classKeys;
    QMap<QString, MBDBParser::_MBDBItem> records; // by backup file name
    QByteArray manifestKey;                       // DbEncrypted only

    bool encrypted() const { return form == FixtureForm::MbdbEncrypted || form == FixtureForm::DbEncrypted; }
    bool dbForm() const { return form == FixtureForm::Db || form == FixtureForm::DbEncrypted; }
};

inline constexpr int kFixtureIterations = 10;

// Writes the backup into dir (which must exist); QFAIL-free: throws std::runtime_error on failure.
FixtureBackup writeFixtureBackup(const QString& dir, FixtureForm form, const QList<FixtureFile>& files,
                                 const QString& password = QStringLiteral("secret pw"));

// Keybag TLV blob: SALT/ITER (and DPSL/DPIC when dp) plus one passcode-wrapped record per class key; salts,
// when given, serves as both SALT and DPSL.
QByteArray buildKeybag(const QByteArray& passcodeKeySource, const QMap<int, QByteArray>& classKeys, bool dp,
                       quint32 classWrap = 3, quint32 iterations = kFixtureIterations,
                       quint32 dpIterations = kFixtureIterations, const QByteArray& salts = QByteArray());
QByteArray keybagItem(const char* tag, const QByteArray& value);
QByteArray be32(quint32 v);

// A small default file set: a message database, a few folders and files in two domains.
QList<FixtureFile> defaultFixtureFiles();

inline const char* fixtureFormName(FixtureForm form) {
    return std::array{"mbdb", "mbdb-encrypted", "db", "db-encrypted"}[static_cast<int>(form)];
}

// A file (content given) or a folder (content null) in the fixture's file list.
inline FixtureFile fixtureEntry(const char* domain, const QString& path, const QByteArray& content = QByteArray()) {
    FixtureFile f;
    f.domain = QString::fromLatin1(domain);
    f.relativePath = path;
    f.folder = content.isNull();
    f.content = content;
    return f;
}

inline QString thrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// Python with these arguments ("-c", a script, ...): its output then its errors, trimmed.
inline QByteArray runPython(const QStringList& args) {
    QProcess py;
    py.start(QStringLiteral(VEXLAR_PYTHON), args);
    return py.waitForFinished(60000) ? py.readAllStandardOutput().trimmed() + py.readAllStandardError().trimmed()
                                     : QByteArray();
}

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}
