// backup_restore_bench [--smoke]
//
// Creates a simulated device (the large preset; --smoke: the demo one), then
// times a full backup and a restore of it through backup2tool and the helper
// stand-in, and as the yardstick copies the device's files twice with cp -a
// (files -> copy 1 -> copy 2: as many bytes read and written as a backup and
// a restore). Prints both times and their ratio. Fails when a step fails or
// the restored device no longer holds what it held.

#include "services/backup2tool.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
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

int fail(const char* what) {
    std::fprintf(stderr, "backup_restore_bench: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool smoke = app.arguments().contains(QStringLiteral("--smoke"));
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

    // Yardstick: the same bytes copied twice.
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

    backup2tool tool(nullptr, udid, QDir(work.filePath(QStringLiteral("backup"))));
    QDir().mkpath(work.filePath(QStringLiteral("backup")));
    qint64 backupMs = 0, restoreMs = 0;
    try {
        timer.restart();
        tool.runThrow(_backup2tool_req(OP_BACKUP));
        backupMs = timer.elapsed();
        timer.restart();
        tool.runThrow(_backup2tool_req(OP_RESTORE));
        restoreMs = timer.elapsed();
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    qint64 after = 0;
    if (digests(files, &after) != before) {
        return fail("the restored device differs from what it held");
    }
    const double ratio = double(backupMs + restoreMs) / double(copyMs);
    std::printf("device files: %lld files, %.1f MiB\n", (long long)before.size(), double(bytes) / 1048576.0);
    std::printf("backup %lld ms + restore %lld ms = %lld ms\n", (long long)backupMs, (long long)restoreMs,
                (long long)(backupMs + restoreMs));
    std::printf("cp -a twice (yardstick): %lld ms\n", (long long)copyMs);
    std::printf("ratio backup+restore / cp twice: %.2f (target: within 2)\n", ratio);
    return 0;
}
