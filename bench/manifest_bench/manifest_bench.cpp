// Prints how the backup store copes with a large backup: 300,000 manifest
// records, plain and encrypted, and a password derivation at device
// strength, each next to an independent yardstick measured in the same run.
//
//   manifest_bench [--smoke] [--records N] [--dpic N] [--iter N] [--work DIR]
//
// The backups are written by tests/backupinterop/devicebackup.py (not timed)
// into DIR, a temporary folder by default; an existing DIR with backups of the
// same size is reused. --smoke runs everything at a size of seconds. The exit
// status is 1 when a step fails or disagrees with its yardstick (record
// counts, the derived key).

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
#include <exception>
#include <memory>
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

long long sqliteRowCount(const QString& db) {
    QByteArray out;
    if (!runQuiet(QStringLiteral("sqlite3"), {db, QStringLiteral("select count(*) from Files")}, &out)) {
        return -1;
    }
    bool ok = false;
    const long long n = out.trimmed().toLongLong(&ok);
    return ok ? n : -1;
}

// Reports a disagreement or failure; the run's exit status remembers it.
bool g_failed = false;
void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("  FAILED: %s\n", what);
        std::fflush(stdout);
        g_failed = true;
    }
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

void row(const char* what, double ours, const char* refName, double ref, long peakMb = 0) {
    const QByteArray peak = peakMb > 0 ? QByteArray::number(qlonglong(peakMb)) + " MB" : QByteArray();
    if (ref > 0) {
        std::printf("  %-34s %9.3f s   %-22s %9.3f s   %5.2f   %s\n", what, ours, refName, ref, ours / ref,
                    peak.constData());
    } else {
        std::printf("  %-34s %9.3f s   %-22s %11s   %5s   %s\n", what, ours, "", "", "", peak.constData());
    }
    std::fflush(stdout);
}

// One phase in a process of its own, so that each reports its own peak memory:
// prints "seconds records peakMB".
int runPhase(const QString& phase, const QString& dir, const QString& password) {
    BackupManifest m(dir);
    m.readManifestInfo();
    if (phase != QLatin1String("unlock") && !password.isEmpty() && !m.setPasscodeNoUIThrow(password)) {
        std::fprintf(stderr, "unlock failed\n");
        return 1;
    }
    QElapsedTimer t;
    qsizetype n = 0;
    double freeing = 0; // freeing the parsed records, reported apart from parse
    if (phase == QLatin1String("parse")) {
        t.start();
        auto parsed = std::make_unique<QHash<QString, MBDBParser::_MBDBItem>>(MBDBParser::parse(m));
        const double parsing = seconds(t);
        n = parsed->size();
        t.restart();
        parsed.reset();
        freeing = seconds(t);
        std::printf("%.6f %lld %ld %.6f\n", parsing, static_cast<long long>(n), maxRssMb(), freeing);
        return 0;
    } else if (phase == QLatin1String("parseInfo")) {
        t.start();
        m.parseInfo();
        n = m.items.size();
    } else if (phase == QLatin1String("save")) {
        QHash<QString, MBDBParser::_MBDBItem> all = MBDBParser::parse(m);
        qsizetype i = 0;
        for (auto it = all.begin(); it != all.end(); ++it, ++i) {
            if (i % 20 == 0) {
                it->deleted = true;
                ++n;
            }
        }
        t.start();
        MBDBParser::save2File(all.values(), m);
    } else if (phase == QLatin1String("unlock")) {
        // Timed from a fresh object: key derivation, class keys, Manifest.db decryption.
        BackupManifest fresh(dir);
        fresh.readManifestInfo();
        t.start();
        if (!fresh.setPasscodeNoUIThrow(password)) {
            return 1;
        }
    } else {
        return 2;
    }
    std::printf("%.6f %lld %ld\n", seconds(t), static_cast<long long>(n), maxRssMb());
    return 0;
}

struct PhaseResult {
    double seconds = -1;
    long long records = 0;
    long peakMb = 0;
    double freeSeconds = 0;
};

PhaseResult phase(const QString& name, const QString& dir, const QString& password) {
    QByteArray out;
    PhaseResult r;
    QStringList args{QStringLiteral("--phase"), name, QStringLiteral("--dir"), dir};
    if (!password.isEmpty()) {
        args << QStringLiteral("--password") << password;
    }
    if (runQuiet(QCoreApplication::applicationFilePath(), args, &out)) {
        const QList<QByteArray> f = out.trimmed().split(' ');
        if (f.size() >= 3) {
            r = {f[0].toDouble(), f[1].toLongLong(), f[2].toLong(), f.size() > 3 ? f[3].toDouble() : 0};
        }
    }
    return r;
}

void manifestFigures(const char* label, const char* goal, const QString& dir, const QString& password) {
    std::printf("\n%s (%s)\n", label, qPrintable(dir));
    std::printf("  %-34s %9s   %-22s %9s   %5s   %s\n", "", "ours", "yardstick", "", "ratio", "peak RSS");
    if (!password.isEmpty()) {
        PhaseResult u = phase(QStringLiteral("unlock"), dir, password);
        row("unlock + decrypt Manifest.db", u.seconds, "", 0, u.peakMb);
    }
    // The database parse reads: the plain copy of an encrypted one, which
    // lives as long as the unlocked manifest.
    BackupManifest unlocked(dir);
    unlocked.readManifestInfo();
    check(password.isEmpty() || unlocked.setPasscodeNoUIThrow(password), "unlock for the yardstick");
    const QString db = unlocked.manifestDbPathInUse();
    const double sqliteTime = sqliteReadAll(db);
    const long long rows = sqliteRowCount(db);
    check(sqliteTime >= 0 && rows > 0, "sqlite3 cannot read the manifest");
    PhaseResult p = phase(QStringLiteral("parse"), dir, password);
    row("parse", p.seconds, "sqlite3 select *", sqliteTime, p.peakMb);
    row("  then freeing the records", p.freeSeconds, "", 0);
    check(p.seconds >= 0, "parse");
    check(p.records == rows, "parse and sqlite3 count different records");
    if (p.records > 0) {
        std::printf("  %-34s %9.2f us/record (%lld records); sqlite3 %.2f us/row\n", "",
                    p.seconds * 1e6 / double(p.records), p.records, sqliteTime * 1e6 / double(p.records));
    }
    PhaseResult pi = phase(QStringLiteral("parseInfo"), dir, password);
    row("parseInfo (parse + tree + index)", pi.seconds, "parse", p.seconds, pi.peakMb);
    check(pi.seconds >= 0 && pi.records == p.records, "parseInfo");
    std::printf("%s: ours %.3f s, yardstick %.3f s, ratio %.3f (goal <= 1.5)\n", goal, pi.seconds, p.seconds,
                p.seconds > 0 ? pi.seconds / p.seconds : 0.0);
    std::printf("%s: peak %ld MB (goal <= 200)\n", goal, pi.peakMb);

    // save2File with 5% of the records dropped, on a copy.
    const QString copy = dir + QStringLiteral("-save");
    if (!copyBackup(dir, copy)) {
        std::printf("  cannot copy the backup for save2File\n");
        return;
    }
    PhaseResult s = phase(QStringLiteral("save"), copy, password);
    row(qPrintable(QStringLiteral("save2File (%1 deleted)").arg(s.records)), s.seconds, "", 0, s.peakMb);
    check(s.seconds >= 0 && s.records > 0, "save2File");
    // The saved manifest, read back, holds exactly the records that were kept.
    const PhaseResult back = phase(QStringLiteral("parse"), copy, password);
    check(back.records == p.records - s.records, "the saved manifest does not hold the kept records");
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
    check(ref >= 0, "hashlib derivation");
    check(!key.isEmpty() && refKey == QString::fromLatin1(key.toHex()), "the key differs from hashlib's");
    PhaseResult u = phase(QStringLiteral("unlock"), dir, QString::fromLatin1(kPassword));
    row("setPasscodeNoUIThrow (whole unlock)", u.seconds, "", 0, u.peakMb);
    check(u.seconds >= 0, "unlock");
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int records = 300000;
    int dpic = 10000000;
    int iter = 10000;
    QString work, phaseName, phaseDir, phasePassword;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); i += 2) {
        if (args[i] == QLatin1String("--smoke")) {
            // Seconds in the dev build, and small enough for the sanitizer build.
            records = 2000;
            dpic = 1000;
            iter = 100;
            --i;
        } else if (i + 1 == args.size()) {
            std::fprintf(stderr, "manifest_bench: %s needs a value\n", qPrintable(args[i]));
            return 2;
        } else if (args[i] == QLatin1String("--records")) {
            records = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--dpic")) {
            dpic = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--iter")) {
            iter = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--work")) {
            work = args[i + 1];
        } else if (args[i] == QLatin1String("--phase")) {
            phaseName = args[i + 1];
        } else if (args[i] == QLatin1String("--dir")) {
            phaseDir = args[i + 1];
        } else if (args[i] == QLatin1String("--password")) {
            phasePassword = args[i + 1];
        } else {
            std::fprintf(stderr, "manifest_bench: unknown option %s\n", qPrintable(args[i]));
            return 2;
        }
    }
    if (!phaseName.isEmpty()) {
        try {
            return runPhase(phaseName, phaseDir, phasePassword);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "manifest_bench %s: %s\n", qPrintable(phaseName), e.what());
            return 1;
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
        manifestFigures("Plain Manifest.db", "PARSEINFO-PLAIN", plain, QString());
        manifestFigures("Encrypted Manifest.db", "PARSEINFO-ENCRYPTED", encrypted, QString::fromLatin1(kPassword));
        unlockFigures(strong, dpic, iter);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "manifest_bench: %s\n", e.what());
        return 1;
    }
    std::printf("\nPeak memory of each phase is its own process's ru_maxrss; targets: parse within 5x of sqlite3,\n"
                "derivation within 1.2x of hashlib, peak memory under 300 MB.\n");
    if (g_failed) {
        std::fprintf(stderr, "manifest_bench: a step failed or disagreed with its yardstick\n");
        return 1;
    }
    return 0;
}
