// Prints how the backup store copes with a large backup: 300,000 manifest
// records, plain and encrypted, and a password derivation at device
// strength, each next to an independent yardstick measured in the same run.
//
//   manifest_bench [--records N] [--dpic N] [--iter N] [--work DIR]
//
// The backups are written by tests/backupinterop/devicebackup.py (not timed)
// into DIR, a temporary folder by default; an existing DIR with backups of the
// same size is reused.

#include "backup/backupmanifest.h"
#include "backup/keybag.h"
#include "backup/mbdbparser.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/resource.h>

namespace {

const char kPassword[] = "bench password";

long maxRssMb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024; // kilobytes on Linux
}

bool runQuiet(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    if (!out) {
        p.setStandardOutputFile(QProcess::nullDevice());
    }
    p.setProcessChannelMode(out ? QProcess::SeparateChannels : QProcess::ForwardedErrorChannel);
    p.start(program, args);
    if (!p.waitForStarted(30000) || !p.waitForFinished(-1)) {
        return false;
    }
    if (out) {
        *out = p.readAllStandardOutput();
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool generate(const QString& dir, int records, const QStringList& extra) {
    if (QFileInfo::exists(dir + QStringLiteral("/Manifest.plist"))) {
        std::printf("  reusing %s\n", qPrintable(dir));
        return true;
    }
    std::printf("  generating %s ...\n", qPrintable(dir));
    std::fflush(stdout);
    return runQuiet(QStringLiteral(VEXLAR_PYTHON),
                    QStringList{QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop/devicebackup.py"),
                                QStringLiteral("synth"), dir, QStringLiteral("--records"), QString::number(records)} +
                        extra);
}

double seconds(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e9;
}

// The sqlite3 tool reading every row of Files, as a reference for parse.
double sqliteReadAll(const QString& db) {
    QElapsedTimer t;
    t.start();
    if (!runQuiet(QStringLiteral("sqlite3"), {db, QStringLiteral("select * from Files")})) {
        return -1;
    }
    return seconds(t);
}

// Copies what save2File touches, so each run starts from the generated backup.
bool copyBackup(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& name : QDir(from).entryList(QDir::Files)) {
        if (name.startsWith(QLatin1String("Manifest-decrypted")) || name.contains(QLatin1String("-bak"))) {
            continue;
        }
        QFile::remove(to + QLatin1Char('/') + name);
        if (!QFile::copy(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name)) {
            return false;
        }
    }
    return true;
}

void row(const char* what, double ours, const char* refName, double ref) {
    if (ref > 0) {
        std::printf("  %-34s %9.3f s   %-22s %9.3f s   ratio %5.2f\n", what, ours, refName, ref, ours / ref);
    } else {
        std::printf("  %-34s %9.3f s\n", what, ours);
    }
    std::fflush(stdout);
}

void manifestFigures(const char* label, const QString& dir, const QString& password) {
    std::printf("\n%s (%s)\n", label, qPrintable(dir));
    BackupManifest m(dir);
    m.readManifestInfo();
    if (!password.isEmpty()) {
        QElapsedTimer t;
        t.start();
        if (!m.setPasscodeNoUIThrow(password)) {
            std::printf("  unlock failed\n");
            return;
        }
        row("unlock + decrypt Manifest.db", seconds(t), "", 0);
    }
    const QString db = m.manifestDbPathInUse();
    const double sqliteTime = sqliteReadAll(db);

    QElapsedTimer t;
    t.start();
    QHash<QString, MBDBParser::_MBDBItem> items = MBDBParser::parse(m);
    const double parseTime = seconds(t);
    const qsizetype n = items.size();
    row("parse", parseTime, "sqlite3 select *", sqliteTime);
    std::printf("  %-34s %9.2f us/record (%lld records); sqlite3 %.2f us/row\n", "", parseTime * 1e6 / double(n),
                static_cast<long long>(n), sqliteTime * 1e6 / double(n));
    std::printf("  peak memory after parse: %ld MB\n", maxRssMb());
    items.clear();

    t.restart();
    m.parseInfo();
    const double parseInfoTime = seconds(t);
    row("parseInfo (parse + tree + index)", parseInfoTime, "", 0);
    std::printf("  peak memory after parseInfo: %ld MB\n", maxRssMb());

    // save2File with 5% of the records dropped, on a copy.
    const QString copy = dir + QStringLiteral("-save");
    if (!copyBackup(dir, copy)) {
        std::printf("  cannot copy the backup for save2File\n");
        return;
    }
    BackupManifest s(copy);
    s.readManifestInfo();
    if (!password.isEmpty() && !s.setPasscodeNoUIThrow(password)) {
        return;
    }
    QHash<QString, MBDBParser::_MBDBItem> all = MBDBParser::parse(s);
    qsizetype i = 0, dropped = 0;
    for (auto it = all.begin(); it != all.end(); ++it, ++i) {
        if (i % 20 == 0) {
            it->deleted = true;
            ++dropped;
        }
    }
    t.restart();
    MBDBParser::save2File(all.values(), s);
    row(qPrintable(QStringLiteral("save2File (%1 deleted)").arg(dropped)), seconds(t), "", 0);
    std::printf("  peak memory after save2File: %ld MB\n", maxRssMb());
    QDir(copy).removeRecursively();
}

void unlockFigures(const QString& dir, int dpic, int iter) {
    std::printf("\nPassword derivation (DPIC %d, ITER %d)\n", dpic, iter);
    BackupManifest m(dir);
    m.readManifestInfo();
    _KeybagInfo bag = parseKeybag(m.info.backupKeyBag);
    QElapsedTimer t;
    t.start();
    const QByteArray key = derivePasscodeKey(QByteArrayLiteral(kPassword), bag);
    const double ours = seconds(t);

    QByteArray out;
    const QStringList args{QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop/devicebackup.py"),
                           QStringLiteral("derive"),
                           QStringLiteral("--password"),
                           QString::fromLatin1(kPassword),
                           QStringLiteral("--dpsl"),
                           QString::fromLatin1(bag.attributes.value(QStringLiteral("DPSL")).toHex()),
                           QStringLiteral("--dpic"),
                           QString::number(bag.attributeInt32(QStringLiteral("DPIC"))),
                           QStringLiteral("--salt"),
                           QString::fromLatin1(bag.attributes.value(QStringLiteral("SALT")).toHex()),
                           QStringLiteral("--iter"),
                           QString::number(bag.attributeInt32(QStringLiteral("ITER")))};
    double ref = -1;
    QString refKey;
    if (runQuiet(QStringLiteral(VEXLAR_PYTHON), args, &out)) {
        const QJsonObject o = QJsonDocument::fromJson(out).object();
        ref = o.value(QStringLiteral("seconds")).toDouble();
        refKey = o.value(QStringLiteral("key")).toString();
    }
    row("derivePasscodeKey", ours, "hashlib.pbkdf2_hmac", ref);
    std::printf("  same key as hashlib: %s\n", refKey == QString::fromLatin1(key.toHex()) ? "yes" : "NO");
    t.restart();
    const bool ok = m.setPasscodeNoUIThrow(QString::fromLatin1(kPassword));
    row("setPasscodeNoUIThrow (whole unlock)", seconds(t), "", 0);
    if (!ok) {
        std::printf("  unlock FAILED\n");
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int records = 300000;
    int dpic = 10000000;
    int iter = 10000;
    QString work;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--records")) {
            records = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--dpic")) {
            dpic = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--iter")) {
            iter = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--work")) {
            work = args[i + 1];
        }
    }
    QTemporaryDir tmp;
    if (work.isEmpty()) {
        work = tmp.path();
    }
    const QString plain = QStringLiteral("%1/plain-%2").arg(work).arg(records);
    // Light key derivation here: the manifest figures should not include it.
    const QString encrypted = QStringLiteral("%1/encrypted-%2").arg(work).arg(records);
    const QString strong = QStringLiteral("%1/strong-%2-%3").arg(work).arg(dpic).arg(iter);

    std::printf("manifest_bench: %d records\n", records);
    if (!generate(plain, records, {}) ||
        !generate(encrypted, records, {QStringLiteral("--password"), QString::fromLatin1(kPassword)}) ||
        !generate(strong, 10,
                  {QStringLiteral("--password"), QString::fromLatin1(kPassword), QStringLiteral("--dpic"),
                   QString::number(dpic), QStringLiteral("--iter"), QString::number(iter)})) {
        std::fprintf(stderr, "manifest_bench: generating the backups failed\n");
        return 1;
    }
    try {
        manifestFigures("Plain Manifest.db", plain, QString());
        manifestFigures("Encrypted Manifest.db", encrypted, QString::fromLatin1(kPassword));
        unlockFigures(strong, dpic, iter);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "manifest_bench: %s\n", e.what());
        return 1;
    }
    std::printf("\nPeak memory (ru_maxrss): %ld MB\n", maxRssMb());
    return 0;
}
