// Times what Remove System Junk and Delete Unwanted Data do to a backup once
// it is on disk: opening and unlocking it, each cleaner's scan, and each
// cleaner's clean on a copy, next to the Python peer reading the same backup
// (its whole manifest, decrypted) as the yardstick.
//
//   scan_clean_bench [--smoke] [--work DIR]
//
// The device is the simulator's large preset (--smoke: the demo preset), iOS
// 14, backed up encrypted by tests/backupinterop/devicebackup.py (not timed).
// The exit status is 1 when a step fails, or when the cache figure disagrees
// with the one the peer's records give.

#include "backup/backupmanifest.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosclearcallsthread.h"
#include "cleaners/iosclearmmsattathread.h"
#include "cleaners/iosclearsafarithread.h"
#include "cleaners/iosclearsysthread.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

namespace {

const char kPassword[] = "bench password";

// The cleaners' reports, kept only for the verdict.
class Verdict final : public ProgressReporter {
public:
    void invokeUpdateProgress(const QString&, int, const QString&) override {}
    void invokeErrorOccurred(const QString& err) override { error = err.toStdString(); }
    void invokeSucceed(const QString&) override { ok = true; }
    void invokeTipsWait(const QString&) override { tipsWaiting = false; }
    std::atomic<bool> ok{false};
    std::string error;
};

bool run(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    if (!p.waitForStarted(30000) || !p.waitForFinished(-1)) {
        return false;
    }
    const QByteArray text = p.readAllStandardOutput();
    if (out) {
        *out = text;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

double secondsOf(QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e9;
}

struct Cleaner {
    const char* name;
    std::unique_ptr<BackupCleanerThread> (*make)(BackupManifest&, ProgressReporter&);
};
template <class W>
std::unique_ptr<BackupCleanerThread> make(BackupManifest& m, ProgressReporter& p) {
    return std::make_unique<W>(m, p);
}
const Cleaner kCleaners[] = {{"cache", &make<IOSClearSysThread>},
                             {"junk", &make<IOSClearMMSAttaThread>},
                             {"messages", &make<IOSClearAllMessagesThread>},
                             {"safari", &make<IOSClearSafariThread>},
                             {"calls", &make<IOSClearCallsThread>}};

std::unique_ptr<BackupManifest> open(const QString& dir) {
    auto m = std::make_unique<BackupManifest>(dir);
    m->readManifestInfo();
    if (!m->setPasscodeNoUIThrow(QString::fromLatin1(kPassword))) {
        throw std::runtime_error("the password does not open the backup");
    }
    m->parseInfo();
    return m;
}

// Runs the cleaners in turn; prints one line per cleaner. Returns the cache figure.
qint64 pass(const QString& dir, bool scanOnly) {
    QElapsedTimer t;
    t.start();
    const std::unique_ptr<BackupManifest> m = open(dir);
    std::printf("  %-8s open and unlock                 %8.3f s\n", scanOnly ? "scan" : "clean", secondsOf(t));
    qint64 cache = -1;
    for (const Cleaner& c : kCleaners) {
        Verdict verdict;
        const std::unique_ptr<BackupCleanerThread> w = c.make(*m, verdict);
        w->scanOnly = scanOnly;
        t.restart();
        w->start();
        w->wait();
        if (!verdict.ok) {
            throw std::runtime_error(std::string(c.name) + ": " + verdict.error);
        }
        std::printf("  %-8s %-10s %14lld bytes   %8.3f s\n", scanOnly ? "scan" : "clean", c.name,
                    static_cast<long long>(w->foundBytes), secondsOf(t));
        if (cache < 0) {
            cache = w->foundBytes;
        }
    }
    return cache;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("vexlar.*.debug=false"));
    const QStringList args = QCoreApplication::arguments();
    const bool smoke = args.contains(QStringLiteral("--smoke"));
    QTemporaryDir tmp;
    const qsizetype workAt = args.indexOf(QStringLiteral("--work"));
    const QString work = workAt > 0 && workAt + 1 < args.size() ? args.at(workAt + 1) : tmp.path();
    const QString store = work + QStringLiteral("/store");
    const QString backup = work + QString::fromLatin1(smoke ? "/backup-demo" : "/backup-large");
    const QString peer = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop/devicebackup.py");
    try {
        if (!QFileInfo::exists(backup + QStringLiteral("/Manifest.plist"))) {
            qputenv("VEXLAR_SIM_ROOT", QFile::encodeName(store));
            QDir().mkpath(store);
            const QString udid = QString::fromLatin1(smoke ? "bench-demo" : "bench-large");
            if (!run(QStringLiteral(VEXLAR_SIMDEVICE_TOOL),
                     {QStringLiteral("create"), QStringLiteral("--udid"), udid, QStringLiteral("--ios"),
                      QStringLiteral("14.4"), QStringLiteral("--preset"),
                      QString::fromLatin1(smoke ? "demo" : "large")}) ||
                !run(QStringLiteral(VEXLAR_PYTHON),
                     {peer, QStringLiteral("write"), store + QLatin1Char('/') + udid + QStringLiteral("/files"), backup,
                      QStringLiteral("--password"), QString::fromLatin1(kPassword)})) {
                throw std::runtime_error("could not make the backup");
            }
        }
        std::printf("scan_clean_bench: %s\n", qPrintable(backup));
        const qint64 cache = pass(backup, true);

        // Yardstick: the peer decrypts and reads every record of the same backup.
        QElapsedTimer t;
        t.start();
        QByteArray dump;
        if (!run(QStringLiteral(VEXLAR_PYTHON),
                 {peer, QStringLiteral("dump"), backup, QStringLiteral("--password"), QString::fromLatin1(kPassword)},
                 &dump)) {
            throw std::runtime_error("the peer could not read the backup");
        }
        std::printf("  peer     read every record            %8.3f s\n", secondsOf(t));
        qint64 peerCache = 0;
        for (const QByteArray& line : dump.split('\n')) {
            const QJsonObject r = QJsonDocument::fromJson(line).object();
            const QString domain = r.value(QStringLiteral("domain")).toString();
            const QString path = r.value(QStringLiteral("path")).toString();
            if (r.value(QStringLiteral("flags")).toInt() == 1 &&
                (!domain.compare(QStringLiteral("RootDomain"), Qt::CaseInsensitive) ||
                 !domain.compare(QStringLiteral("HomeDomain"), Qt::CaseInsensitive)) &&
                (path.startsWith(QStringLiteral("Library/Caches/"), Qt::CaseInsensitive) ||
                 path.startsWith(QStringLiteral("tmp/"), Qt::CaseInsensitive))) {
                peerCache += qint64(r.value(QStringLiteral("size")).toDouble());
            }
        }
        if (peerCache != cache) {
            std::printf("cache bytes disagree: %lld here, %lld by the peer\n", static_cast<long long>(cache),
                        static_cast<long long>(peerCache));
            return 1;
        }

        // Cleaning changes the backup: it runs on a copy, so the next run can reuse the original.
        const QString copy = work + QStringLiteral("/clean-copy");
        QDir(copy).removeRecursively();
        if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), backup, copy})) {
            throw std::runtime_error("could not copy the backup");
        }
        pass(copy, false);
        QDir(copy).removeRecursively();
    } catch (const std::exception& e) {
        std::printf("scan_clean_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
