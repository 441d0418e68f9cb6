#pragma once

// Drives devicebackup.py, the independent device-side writer and checker of
// backups, and describes the backup kinds it can make.

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTest>

struct BackupVariant {
    QString format; // "db" or "mbdb"
    QString version;
    QString password; // empty: not encrypted
    bool rowSalt = false;

    bool encrypted() const { return !password.isEmpty(); }
    // Devices from iOS 10.2 on encrypt the manifest database as a whole.
    bool encryptedManifestDb() const {
        return encrypted() && format == QLatin1String("db") && QStringList{"10.0", "10.1"}.indexOf(version) < 0;
    }
};

Q_DECLARE_METATYPE(BackupVariant)

// A password with a blank and letters outside ASCII: it must reach the key derivation as UTF-8.
inline QString peerPassword() {
    return QStringLiteral("p\u00e4ssw\u00f6rd 1");
}

inline QList<QPair<const char*, BackupVariant>> backupVariants() {
    return {
        {"ios14-db-encrypted", {"db", "14.3", peerPassword(), false}},
        {"ios10.1-db-encrypted", {"db", "10.1", peerPassword(), false}},
        {"ios10.0-db-row-encrypted", {"db", "10.0", peerPassword(), true}},
        {"ios14-db-plain", {"db", "14.3", QString(), false}},
        {"ios9-mbdb-plain", {"mbdb", "9.3.5", QString(), false}},
        {"ios9-mbdb-encrypted", {"mbdb", "9.3.5", peerPassword(), false}},
    };
}

struct PeerResult {
    int exitCode = -1;
    QByteArray out, err;
};

inline QString peerScript() {
    return QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop/devicebackup.py");
}

inline PeerResult runProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env,
                             int timeoutMs = 300000) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted(30000)) {
        return {-1, {}, "cannot start " + program.toUtf8()};
    }
    p.closeWriteChannel();
    p.waitForFinished(timeoutMs);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

inline QProcessEnvironment cleanEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VEXLAR_BACKUP_PASSWORD"));
    return env;
}

inline PeerResult runPeer(const QStringList& args) {
    return runProgram(QStringLiteral(VEXLAR_PYTHON), QStringList{peerScript()} + args, cleanEnvironment());
}

inline QStringList passwordArgs(const QString& password) {
    return password.isEmpty() ? QStringList() : QStringList{QStringLiteral("--password"), password};
}

// Writes a backup of src into out as the variant's device would.
inline bool writeBackup(const BackupVariant& v, const QString& src, const QString& out) {
    const PeerResult r =
        runPeer(QStringList{QStringLiteral("write"), src, out, QStringLiteral("--format"), v.format,
                            QStringLiteral("--version"), v.version} +
                passwordArgs(v.password) + (v.rowSalt ? QStringList{QStringLiteral("--row-salt")} : QStringList()));
    return r.exitCode == 0 || (qWarning("devicebackup.py write failed: %s", r.err.constData()), false);
}

// The peer's own reading of a backup's manifest: one JSON object per record.
inline QList<QJsonObject> dumpBackup(const BackupVariant& v, const QString& dir) {
    PeerResult r = runPeer(QStringList{QStringLiteral("dump"), dir} + passwordArgs(v.password));
    if (r.exitCode != 0) {
        qWarning("devicebackup.py dump failed: %s", r.err.constData());
    }
    QList<QJsonObject> out;
    for (const QByteArray& line : r.out.split('\n')) {
        if (!line.trimmed().isEmpty() && r.exitCode == 0) {
            out << QJsonDocument::fromJson(line).object();
        }
    }
    return out;
}

// The peer's view of a backup: Status.plist's state, then its records as fileTree() lines (see treeText()).
inline QString peerView(const QString& dir, const QString& password = {}) {
    const PeerResult r = runPeer(QStringList{QStringLiteral("view"), dir} + passwordArgs(password));
    return QString::fromUtf8(r.exitCode == 0 ? r.out : r.err);
}

// A fileTree() map (tests/device/simfixture.h) as "path<TAB>kind" lines, as peerView() prints records.
inline QString treeText(const QMap<QString, QString>& tree) {
    QStringList lines;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        lines << it.key() + QLatin1Char('\t') + it.value();
    }
    return lines.join(QLatin1Char('\n'));
}
