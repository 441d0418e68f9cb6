// simbackup: the backup helper for simulated devices.
//
//   simbackup --pipe <read fd> <write fd>
//
// Pipe framing, both ways: a 4-byte signed length in host byte order, then
// that many bytes of a property list. The helper reads one request (XML or
// binary) and answers with XML property lists:
//   { AMSBackupPercentageKey = <0..100> }   while it works (whole percentages
//                                           of the data bytes moved)
//   { }                                     done, verified
//   { errorCode = <negative>, errorDescription = <text> }   failed
//
// Request keys read (all others are ignored):
//   AMSRequestKey                "AMSBackupRequest" or
//                                "AMSRestoreWithApplicationsRequest"
//   AMSTargetIdentifierKey       the device: $VEXLAR_SIM_ROOT/<identifier>/
//   AMSBackupOptionsKey          backup:  { RootDirectory }
//   AMSRestoreRestoreOptionsKey  restore: { RootDirectory, Password (only for
//                                           an encrypted backup) }
// The backup lies in RootDirectory/<identifier>/.
//
// Backup: files/ of the device in the device's layout: Manifest.mbdb with the
// data files beside it before iOS 10, Manifest.db with data files in
// two-character sub-folders from iOS 10; encrypted when the lockdown value
// com.apple.mobile.backup/WillEncrypt is true, with password Sim.BackupPassword
// (from iOS 10.2 with a DPIC/DPSL keybag and an encrypted Manifest.db). Status.plist
// says "uploading" from the first write on and "finished" only after
// everything else is on disk. Data files of a finished earlier backup of the
// same form and password are kept when the device file has the same size,
// time and content.
//
// Restore: files/ is rebuilt from the backup in a staging folder beside it,
// then swapped in: records missing from the manifest disappear, changed files
// are replaced, unchanged files keep their inode and times. A failure before
// the swap leaves the device as it was (a helper killed while staging leaves
// a .files-restore-<pid> folder beside files/, removed by the next restore).
// A backup whose Status.plist is not "finished" is refused, and so are records
// whose domain or path would leave files/ (absolute, "..", empty parts, a
// path through a link).
//
// Error codes of real failures:
//   -2   no such device, or not plugged in when the request arrives
//   -3   malformed request, WillEncrypt without Sim.BackupPassword, internal fault
//   -5   restore of an encrypted backup without the right Password
//   -10  the device was unplugged during the transfer (Sim.Connected false)
//   -20  backup folder cannot be created or written (backup); the backup is
//        unreadable, a digest or key does not match, a path is hostile (restore)
//   -36  the disk filled up
//
// Faults, read from device.plist Sim.Faults when the request arrives (set them
// with `simdevice set --udid U Sim.Faults.<key> <value>`, remove with null):
//   errorCode            integer: the run fails with this code (a positive
//                        code is negated); before anything is written, or
//                        once FailAfterBytes data bytes have moved
//   errorCodeOperation   "backup" or "restore": errorCode applies to that
//                        operation only (default: both)
//   FailAfterBytes       integer: when errorCode fires (backup: bytes written
//                        into the backup, restore: bytes staged)
//   UnplugAfterBytes     integer: after that many bytes the helper sets
//                        Sim.Connected false and fails with -10
//   HelperSilent         true: the helper reads the request, answers nothing
//                        and waits until its request pipe is closed
//   HelperDiesAfterBytes integer: the helper kills itself (SIGKILL) after
//                        that many bytes (0: right after the request) without
//                        a final answer
//   TransferDelayMs      integer: sleep before each data file, so that a
//                        cancel or an unplug can land mid-transfer
// Sim.Link (see sim/framework/simlink.h) paces the transfer as the cable
// would: a round trip per data file and the link's rate for its bytes.

#include "services/helperpipe.h"
#include "sim/backup/operations.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QString>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace simbackup;

namespace {

sim::Plist readFrame(int fd) {
    const QByteArray body = helperpipe::readFrame(fd);
    return sim::parsePlist(body.constData(), static_cast<size_t>(body.size()));
}

bool writeFrame(int fd, plist_t node) {
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    const bool ok = xml && helperpipe::writeFrame(fd, xml, len);
    plist_to_xml_free(xml);
    return ok;
}

bool sendError(int fd, const Failure& f) {
    sim::Plist msg(plist_new_dict());
    plist_dict_set_item(msg.get(), "errorCode", plist_new_uint(static_cast<uint64_t>(static_cast<int64_t>(f.code))));
    plist_dict_set_item(msg.get(), "errorDescription", plist_new_string(f.why.toUtf8().constData()));
    std::fprintf(stderr, "simbackup: error %d: %s\n", f.code, f.why.toLocal8Bit().constData());
    return writeFrame(fd, msg.get());
}

QString stringAt(plist_t dict, std::initializer_list<const char*> keys) {
    return QString::fromStdString(sim::stringOf(sim::dictPath(dict, keys)));
}

int serve(int in, int out) {
    sim::Plist request = readFrame(in);
    if (!request || plist_get_node_type(request.get()) != PLIST_DICT) {
        sendError(out, {kErrUnknown, QStringLiteral("no readable request")});
        return 2;
    }
    const QString kind = stringAt(request.get(), {"AMSRequestKey"});
    const bool restore = kind == QLatin1String("AMSRestoreWithApplicationsRequest");
    if (!restore && kind != QLatin1String("AMSBackupRequest")) {
        sendError(out, {kErrUnknown, QStringLiteral("unknown request %1").arg(kind)});
        return 2;
    }
    const char* optionsKey = restore ? "AMSRestoreRestoreOptionsKey" : "AMSBackupOptionsKey";
    const QString target = stringAt(request.get(), {"AMSTargetIdentifierKey"});
    const QString rootDir = stringAt(request.get(), {optionsKey, "RootDirectory"});
    const QString password = stringAt(request.get(), {optionsKey, "Password"});
    static const QRegularExpression udidRe(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{0,79}$"));
    if (rootDir.isEmpty() || !QFileInfo(rootDir).isAbsolute()) {
        sendError(out, {kErrUnknown, QStringLiteral("the request names no absolute RootDirectory")});
        return 2;
    }
    const QString storeRoot = sim::simRoot();
    const QString deviceDir = storeRoot + QLatin1Char('/') + target;
    if (storeRoot.isEmpty() || !udidRe.match(target).hasMatch() ||
        !QFileInfo::exists(deviceDir + QStringLiteral("/device.plist"))) {
        sendError(out, {kErrConnect, QStringLiteral("no simulated device %1").arg(target)});
        return 1;
    }
    Session session(deviceDir, restore, [out](plist_t msg) { return writeFrame(out, msg); });
    session.allowSelfKill();
    session.paceByLink();
    plist_t faults = sim::dictPath(session.device(), {"Sim", "Faults"});
    if (sim::boolAt(faults, {"HelperSilent"}, false)) {
        char c;
        while (::read(in, &c, 1) > 0 || errno == EINTR) {
        }
        return 0;
    }
    if (!sim::boolAt(session.device(), {"Sim", "Connected"}, true)) {
        sendError(out, {kErrConnect, QStringLiteral("device %1 is not plugged in").arg(target)});
        return 1;
    }
    try {
        if (restore) {
            runRestore(session, rootDir, password);
        } else {
            runBackup(session, rootDir);
        }
    } catch (const Failure& f) {
        sendError(out, f);
        return 1;
    } catch (const std::exception& e) {
        sendError(out, {kErrUnknown, QString::fromUtf8(e.what())});
        return 1;
    }
    sim::Plist done(plist_new_dict());
    return writeFrame(out, done.get()) ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 4 || std::strcmp(argv[1], "--pipe") != 0) {
        std::fprintf(stderr, "usage: simbackup --pipe <read fd> <write fd>\n");
        return 2;
    }
    bool okIn = false, okOut = false;
    const int in = QString::fromLocal8Bit(argv[2]).toInt(&okIn);
    const int out = QString::fromLocal8Bit(argv[3]).toInt(&okOut);
    if (!okIn || !okOut || in < 0 || out < 0) {
        std::fprintf(stderr, "simbackup: descriptors must be numbers\n");
        return 2;
    }
    // A driver that goes away shows as a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    return serve(in, out);
}
