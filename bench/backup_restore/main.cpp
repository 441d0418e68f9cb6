// backup_restore_bench [--smoke] [--link] [--link-ms MS] [--link-mbps MB]
//
// Creates a simulated device (the large preset; --smoke: the demo one), then
// times a full backup and a restore of it through backup2tool and the helper
// stand-in, twice:
//   - with no link, next to copying the device's files twice with cp -a
//     (files -> copy 1 -> copy 2: as many bytes read and written as a backup
//     and a restore);
//   - over a simulated USB link (--link: a 0.5 ms round trip and 35 MB/s;
//     --link-ms and --link-mbps choose other figures; the smoke size uses
//     USB 2.0's), next to the link's own bound: for each direction, the bytes
//     at the link's rate plus one round trip per file.
// Prints the times, the yardsticks and one goal line each. Fails when a step
// fails or the restored device no longer holds what it held.

#include "services/backup2tool.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <exception>

namespace {

bool runTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Relative path -> SHA-1 of every regular file below dir, and their byte total.
QMap<QString, QByteArray> digests(const QString& dir, qint64* bytes) {
    QMap<QString, QByteArray> out;
    *bytes = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        QCryptographicHash sha(QCryptographicHash::Sha1);
        if (!it.fileInfo().isSymLink() && f.open(QIODevice::ReadOnly) && sha.addData(&f)) {
            out.insert(QDir(dir).relativeFilePath(path), sha.result());
            *bytes += it.fileInfo().size();
        }
    }
    return out;
}

struct Link {
    qint64 roundTripUs = 0;
    qint64 bytesPerSecond = 0;
    bool on() const { return roundTripUs > 0 || bytesPerSecond > 0; }
};

// Backup into a fresh folder, then restore; milliseconds of both, or -1 after printing why.
qint64 backupAndRestore(const QString& udid, const QString& folder) {
    QDir().mkpath(folder);
    backup2tool tool(nullptr, udid, QDir(folder));
    QElapsedTimer timer;
    try {
        timer.start();
        tool.runThrow(_backup2tool_req(OP_BACKUP));
        const qint64 backupMs = timer.elapsed();
        timer.restart();
        tool.runThrow(_backup2tool_req(OP_RESTORE));
        const qint64 restoreMs = timer.elapsed();
        std::printf("backup %lld ms + restore %lld ms = %lld ms\n", (long long)backupMs, (long long)restoreMs,
                    (long long)(backupMs + restoreMs));
        return backupMs + restoreMs;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "backup_restore_bench: %s\n", e.what());
        return -1;
    }
}

int fail(const char* what) {
    std::fprintf(stderr, "backup_restore_bench: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool smoke = args.contains(QStringLiteral("--smoke"));
    Link link;
    if (smoke || args.contains(QStringLiteral("--link"))) {
        link = {500, 35'000'000};
    }
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--link-ms")) {
            link.roundTripUs = std::llround(args[i + 1].toDouble() * 1000.0);
        } else if (args[i] == QLatin1String("--link-mbps")) {
            link.bytesPerSecond = std::llround(args[i + 1].toDouble() * 1e6);
        }
    }
    QLoggingCategory::setFilterRules(QStringLiteral("vexlar.services.backup2tool.debug=false"));
    QTemporaryDir work;
    if (!work.isValid()) {
        return fail("no temporary folder");
    }
    const QString store = work.filePath(QStringLiteral("store"));
    QDir().mkpath(store);
    qputenv("VEXLAR_SIM_ROOT", QFile::encodeName(store));
    qputenv("VEXLAR_BACKUP_HELPER", VEXLAR_SIMBACKUP);
    const QString udid = QStringLiteral("bench-device");
    if (!runTool(QStringLiteral(VEXLAR_SIMDEVICE_TOOL),
                 {QStringLiteral("create"), QStringLiteral("--udid"), udid, QStringLiteral("--ios"),
                  QStringLiteral("14.4"), QStringLiteral("--preset"),
                  smoke ? QStringLiteral("demo") : QStringLiteral("large")})) {
        return fail("simdevice create failed");
    }
    const QString files = store + QLatin1Char('/') + udid + QStringLiteral("/files");
    qint64 bytes = 0;
    const auto before = digests(files, &bytes);
    std::printf("device files: %lld files, %.1f MiB\n", (long long)before.size(), double(bytes) / 1048576.0);

    // Yardstick with no link: the same bytes copied twice.
    QElapsedTimer timer;
    timer.start();
    const QString copy1 = work.filePath(QStringLiteral("copy1"));
    const QString copy2 = work.filePath(QStringLiteral("copy2"));
    if (!runTool(QStringLiteral("cp"), {QStringLiteral("-a"), files, copy1}) ||
        !runTool(QStringLiteral("cp"), {QStringLiteral("-a"), copy1, copy2})) {
        return fail("cp -a failed");
    }
    const qint64 copyMs = qMax<qint64>(1, timer.elapsed());
    qint64 copied = 0;
    if (digests(copy2, &copied) != before) {
        return fail("the copies differ from the device files");
    }
    QDir(copy1).removeRecursively();
    QDir(copy2).removeRecursively();

    const qint64 plainMs = backupAndRestore(udid, work.filePath(QStringLiteral("backup")));
    qint64 after = 0;
    if (plainMs < 0 || digests(files, &after) != before) {
        return fail("the restored device differs from what it held");
    }
    std::printf("cp -a twice (yardstick): %lld ms\n", (long long)copyMs);
    std::printf("BACKUP-RESTORE-CP: ours %.3f s, yardstick %.3f s, ratio %.3f (goal <= 1.5)\n", plainMs / 1e3,
                copyMs / 1e3, double(plainMs) / double(copyMs));
    if (!link.on()) {
        return 0;
    }

    if (!runTool(QStringLiteral(VEXLAR_SIMDEVICE_TOOL),
                 {QStringLiteral("set"), QStringLiteral("--udid"), udid, QStringLiteral("Sim.Link"),
                  QStringLiteral("{\"RoundTripUs\": %1, \"BytesPerSecond\": %2}")
                      .arg(link.roundTripUs)
                      .arg(link.bytesPerSecond)})) {
        return fail("simdevice set Sim.Link failed");
    }
    // Each direction carries every byte at the link's rate and pays a round trip per file.
    const double wireSeconds = link.bytesPerSecond > 0 ? double(bytes) / double(link.bytesPerSecond) : 0.0;
    const double boundSeconds = 2.0 * (wireSeconds + double(before.size()) * double(link.roundTripUs) / 1e6);
    std::printf("link: %.3f ms round trip, %.1f MB/s\n", link.roundTripUs / 1000.0, link.bytesPerSecond / 1e6);
    const qint64 linkMs = backupAndRestore(udid, work.filePath(QStringLiteral("backup-link")));
    if (linkMs < 0 || digests(files, &after) != before) {
        return fail("the restored device differs from what it held");
    }
    std::printf("link bound (yardstick): %.3f s\n", boundSeconds);
    std::printf("BACKUP-RESTORE-LINK: ours %.3f s, yardstick %.3f s, ratio %.3f (goal <= 1.3)\n", linkMs / 1e3,
                boundSeconds, boundSeconds > 0 ? linkMs / 1e3 / boundSeconds : 0.0);
    return 0;
}
