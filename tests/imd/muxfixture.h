#pragma once

// The simulator's usbmuxd for a test's device store: started on a private
// socket that the unmodified libusbmuxd is pointed at, stopped with the test.

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class MuxDaemon {
public:
    ~MuxDaemon() {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    bool start(const QString& simRoot, QString* why) {
        if (!QFileInfo::exists(QStringLiteral(VEXLAR_SIMUSBMUXD)) ||
            !QFileInfo::exists(QStringLiteral(VEXLAR_SIMDEVICE_LIBRARY))) {
            *why = QStringLiteral("libvexlar-imd.so or simusbmuxd is not built");
            return false;
        }
        const QString socket = dir.filePath(QStringLiteral("usbmuxd"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VEXLAR_SIM_ROOT"), simRoot);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QStringLiteral(VEXLAR_SIMUSBMUXD), {QStringLiteral("--socket"), socket});
        if (!p.waitForReadyRead(30000) || !p.readAllStandardOutput().startsWith("listening")) {
            *why = QStringLiteral("simusbmuxd did not start");
            return false;
        }
        qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + QFile::encodeName(socket));
        return true;
    }
    // usbmuxd's copy of the host's pair record for a device.
    QString pairRecord(const QString& udid) const {
        return dir.filePath(QStringLiteral("lockdown/%1.plist").arg(udid));
    }

private:
    QTemporaryDir dir;
    QProcess p;
};
