#pragma once

// Simulated devices for tests: a private store in a temporary folder, devices
// made and edited with the real `simdevice` tool, and the real framework
// stand-in loaded by path. With VEXLAR_TEST_BACKEND=imd the same devices are
// reached through libvexlar-imd.so and the simulator's usbmuxd instead, and the
// backup helper is vexlar-mb2helper.

#include "device/mobiledevice.h"
#include "device/mobiledevice_loader.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VEXLAR_SIMDEVICE_TOOL
#define VEXLAR_SIMDEVICE_TOOL ""
#endif
#ifndef VEXLAR_SIMDEVICE_LIBRARY
#define VEXLAR_SIMDEVICE_LIBRARY ""
#endif
#ifndef VEXLAR_IMD_LIBRARY
#define VEXLAR_IMD_LIBRARY ""
#endif
#ifndef VEXLAR_SIMUSBMUXD
#define VEXLAR_SIMUSBMUXD ""
#endif
#ifndef VEXLAR_MB2HELPER
#define VEXLAR_MB2HELPER ""
#endif
#ifndef VEXLAR_SIMBACKUP_FILE
#define VEXLAR_SIMBACKUP_FILE ""
#endif
// Tests hand VEXLAR_SIMBACKUP to the program as its backup helper; it follows
// the backend so that one switch moves the whole test.
#ifndef VEXLAR_SIMBACKUP
#define VEXLAR_SIMBACKUP (SimStore::backupHelper())
#endif

// The simulator's usbmuxd for a device store: started on a private socket that
// the unmodified libusbmuxd is pointed at, stopped with the test. Started
// detached, as the system's daemon is no child of the program; --owner ends it
// should the test die first.
class MuxDaemon {
public:
    ~MuxDaemon() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            for (int i = 0; i < 500 && stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z "); ++i) {
                stat.close();
                QTest::qSleep(10);
            }
        }
    }
    bool start(const QString& simRoot, QString* why) {
        if (!QFileInfo::exists(QStringLiteral(VEXLAR_SIMUSBMUXD))) {
            *why = QStringLiteral("simusbmuxd is not built");
            return false;
        }
        const QString socket = dir.filePath(QStringLiteral("usbmuxd"));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VEXLAR_SIM_ROOT"), simRoot);
        p.setProcessEnvironment(env);
        p.setStandardOutputFile(dir.filePath(QStringLiteral("out")));
        p.setProgram(QStringLiteral(VEXLAR_SIMUSBMUXD));
        p.setArguments({QStringLiteral("--socket"), socket, QStringLiteral("--owner"),
                        QString::number(QCoreApplication::applicationPid())});
        QFile out(dir.filePath(QStringLiteral("out")));
        const auto listening = [&out] {
            const bool up = out.open(QIODevice::ReadOnly) && out.readAll().startsWith("listening");
            out.close();
            return up;
        };
        if (!p.startDetached(&pid) || !QTest::qWaitFor(listening, 30000)) {
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
    qint64 pid = 0;
};

class SimStore {
public:
    // Points the framework stand-in at a fresh store and loads it; false when
    // the simulator has not been built.
    bool init(QString* why) {
        if (!root.isValid()) {
            *why = QStringLiteral("no temporary folder");
            return false;
        }
        const QByteArray library = onImd() ? QByteArray(VEXLAR_IMD_LIBRARY) : QByteArray(VEXLAR_SIMDEVICE_LIBRARY);
        if (!QFileInfo::exists(QStringLiteral(VEXLAR_SIMDEVICE_TOOL)) ||
            !QFileInfo::exists(QFile::decodeName(library))) {
            *why = onImd() ? QStringLiteral("libvexlar-imd.so is not built for this test")
                           : QStringLiteral("the device simulator is not built");
            return false;
        }
        qputenv("VEXLAR_SIM_ROOT", QFile::encodeName(root.path()));
        if (onImd()) {
            mux = std::make_unique<MuxDaemon>();
            if (!mux->start(root.path(), why)) {
                return false;
            }
        }
        qputenv("VEXLAR_MOBILEDEVICE", library);
        QString error;
        if (mobiledevice_loader_ini(error, QString()) != 1) {
            *why = QStringLiteral("loading the simulator failed: ") + error;
            return false;
        }
        return true;
    }

    // The test runs on libvexlar-imd.so and vexlar-mb2helper.
    static bool onImd() { return qgetenv("VEXLAR_TEST_BACKEND") == "imd"; }
    static const char* backupHelper() { return onImd() ? VEXLAR_MB2HELPER : VEXLAR_SIMBACKUP_FILE; }

    QString path() const { return root.path(); }
    QString deviceDir(const QString& udid) const { return root.filePath(udid); }

    // Runs the tool; false when it failed. Its standard output goes to *out.
    bool tool(const QStringList& args, QString* out = nullptr) const {
        QProcess p; // VEXLAR_SIM_ROOT is set by init()
        p.start(QStringLiteral(VEXLAR_SIMDEVICE_TOOL), args);
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            qWarning("simdevice %s failed: %s", qPrintable(args.join(QLatin1Char(' '))),
                     p.readAllStandardError().constData());
            return false;
        }
        return out ? (*out = QString::fromUtf8(p.readAllStandardOutput()), true) : true;
    }

    // Creates a device with a new identifier and returns it (empty on failure).
    QString create(const QStringList& extra = {}) {
        const QString udid = QStringLiteral("sim-%1-%2").arg(QCoreApplication::applicationPid()).arg(++created);
        if (!tool(QStringList{QStringLiteral("create"), QStringLiteral("--udid"), udid} + extra)) {
            return QString();
        }
        // The daemon pairs a new, trusting phone on its arrival, as usbmuxd does: a test's first session must not
        // race that pairing (each would leave the phone a different host record).
        if (mux && !QTest::qWaitFor([&] { return QFileInfo::exists(mux->pairRecord(udid)); }, 30000)) {
            return QString();
        }
        return udid;
    }
    // KEY as the tool takes it ("Lockdown.DeviceName", "Sim.Faults.AMDevicePair"); VALUE "null" removes it.
    bool set(const QString& udid, const QString& key, const QString& value) const {
        return tool({QStringLiteral("set"), QStringLiteral("--udid"), udid, key, value});
    }
    bool plug(const QString& udid) const { return tool({QStringLiteral("plug"), QStringLiteral("--udid"), udid}); }
    bool unplug(const QString& udid) const { return tool({QStringLiteral("unplug"), QStringLiteral("--udid"), udid}); }

private:
    QTemporaryDir root;
    std::unique_ptr<MuxDaemon> mux; // stopped before the store goes
    int created = 0;
};

// Plugs `udid` in again as a phone never paired with this host, its trust dialog answered `trust`. With
// `afterFirstArrival` the daemon's own pairing of a trusting phone that just arrived is waited for first.
inline bool replugUnpaired(const SimStore& sim, const MuxDaemon& mux, const QString& udid, const QString& trust,
                           bool afterFirstArrival) {
    const QString record = mux.pairRecord(udid);
    if ((afterFirstArrival && !QTest::qWaitFor([&] { return QFileInfo::exists(record); }, 30000)) ||
        !sim.unplug(udid)) {
        return false;
    }
    QDir hosts(sim.deviceDir(udid) + QStringLiteral("/lockdown"), QStringLiteral("*.plist"));
    for (const QString& host : hosts.entryList(QDir::Files)) {
        hosts.remove(host);
    }
    QFile::remove(record);
    return !QFileInfo::exists(record) && sim.set(udid, QStringLiteral("Sim.TrustAccepted"), trust) && sim.plug(udid);
}

// Everything below `root` (a device's files/ folder, a source tree) as "path" -> "d", "l <link target>" or
// "f <size> <SHA-1>"; with `inodes`, each regular file's inode as well.
inline QMap<QString, QString> fileTree(const QString& root, QMap<QString, quint64>* inodes = nullptr) {
    QMap<QString, QString> out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next(), rel = QDir(root).relativeFilePath(path);
        if (rel == QLatin1String("MediaDomain/Media/com.apple.itunes.lock_sync")) {
            continue; // the empty sync lock file a real-phone backup leaves, as every synced phone has
        }
        const QFileInfo fi = it.fileInfo();
        QFile f(path);
        QCryptographicHash sha(QCryptographicHash::Sha1);
        if (fi.isSymLink()) {
            QByteArray target(4096, 0);
            target.resize(qMax(ssize_t(0), ::readlink(QFile::encodeName(path).constData(), target.data(), 4096)));
            out[rel] = QStringLiteral("l ") + QString::fromUtf8(target);
        } else if (fi.isFile() && f.open(QIODevice::ReadOnly) && sha.addData(&f)) {
            out[rel] = QStringLiteral("f %1 ").arg(f.size()) + QString::fromLatin1(sha.result().toHex());
            struct stat st {};
            if (inodes && ::stat(QFile::encodeName(path).constData(), &st) == 0) {
                (*inodes)[rel] = st.st_ino;
            }
        } else {
            out[rel] = QStringLiteral("d");
        }
    }
    return out;
}
// A regular file's size in a fileTree() entry, 0 for anything else.
inline qint64 treeSize(const QString& entry) {
    return entry.startsWith(QLatin1Char('f')) ? entry.section(QLatin1Char(' '), 1, 1).toLongLong() : 0;
}
