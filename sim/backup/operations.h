#pragma once

// One backup or restore of one simulated device, with its progress reports
// and the injected faults of device.plist.

#include "sim/backup/backupformat.h"
#include "sim/framework/simlink.h"

#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <optional>

namespace simbackup {

class Session {
public:
    // send: writes one response dictionary to the driver (false once the pipe is gone).
    Session(const QString& deviceDir, bool restore, std::function<bool(plist_t)> send);

    const QString& deviceDir() const { return dir; }
    plist_t device() const { return devicePlist.get(); }
    bool isRestore() const { return restoring; }

    // Starts the byte count; faults set to fire at 0 bytes fire here.
    void begin(qint64 totalBytes);
    // Counts moved bytes, reports whole percentages, fires byte-triggered
    // faults and notices an unplugged device. Throws Failure.
    void advance(qint64 bytes);
    // Called before each data file: the per-file delay and the plug check.
    void nextFile();
    void reportPercent(int percent);
    // Only the helper process may obey HelperDiesAfterBytes: linked into the
    // framework stand-in, a self-kill would take the program down with it.
    void allowSelfKill() { selfKill = true; }
    // The helper reads the device's files itself, so it paces itself by the
    // device's Sim.Link; the device's own backup service is paced by its socket.
    void paceByLink() { link.emplace(sim::LinkSettings::fromDevice(devicePlist.get())); }

private:
    void checkConnected(bool force);

    QString dir;
    bool restoring;
    std::function<bool(plist_t)> sendFn;
    sim::Plist devicePlist;
    qint64 total = 0;
    qint64 done = 0;
    int lastPercent = -1;
    int errorCode = 0;
    qint64 failAfter = -1;
    qint64 unplugAfter = -1;
    qint64 dieAfter = -1;
    int fileDelayMs = 0;
    bool selfKill = false;
    QElapsedTimer sincePlugCheck;
    std::optional<sim::LinkClock> link;
};

void runBackup(Session& session, const QString& rootDir);
void runRestore(Session& session, const QString& rootDir, const QString& password);

} // namespace simbackup
