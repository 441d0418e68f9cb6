// The device side of mobilebackup2 and mobilesync over DeviceLink.
//
// Both start with the version exchange: the device offers
// ["DLMessageVersionExchange", 400, 0] and hangs up unless the answer is
// ["DLMessageVersionExchange", "DLVersionsOk", 400]; then it reports
// ["DLMessageDeviceReady"]. With Sim.Faults.DeviceLinkReady true it reports
// ready at once, as older devices did.
//
// mobilebackup2 answers process messages ("MessageName"):
//   Hello              ErrorCode 0 and the highest common ProtocolVersion of
//                      Sim.Faults.Backup2Versions (default [2.0, 2.1]), or
//                      ErrorCode 1 when there is none; nothing else is
//                      served before a successful hello
//   EnableCloudBackup  sets Lockdown.com.apple.mobile.backup.CloudBackupEnabled
//                      from the top-level boolean "CloudBackupState"
//   ChangePassword     the phone's own backup password, from the top-level
//                      strings "NewPassword" and "OldPassword" (the reference
//                      host's CMD_CHANGEPW sends them beside MessageName, not
//                      in Options, and waits for a process message whose
//                      ErrorCode 0 means done): NewPassword alone turns
//                      encryption on when it is off; OldPassword alone turns
//                      it off, both change it, when it is on and OldPassword is
//                      the password. Lockdown.com.apple.mobile.backup.WillEncrypt
//                      and Sim.BackupPassword change with it. Anything else is
//                      refused with 207 (our assumption: the reference host
//                      refuses those cases itself before asking) and changes
//                      nothing
//   Backup             from iOS 16.1, when Sim.PasscodePromptMs is above 0 (a
//                      phone with a passcode), first posts
//                      "com.apple.LocalAuthentication.ui.presented" over
//                      notification_proxy, sends nothing for that long (the
//                      user typing the passcode on the phone), then posts
//                      "com.apple.LocalAuthentication.ui.dismissed"; then it
//                      lays files/ out as a backup (the helper stand-in's
//                      writer, in a private temporary folder), asks for the
//                      host's last <udid>/Status.plist and Manifest.plist
//                      (DLMessageDownloadFiles; ends with 205 unless the
//                      answer is 0, or -13 "Multi status" naming a missing
//                      one), checks
//                      the host's free space (DLMessageGetFreeDiskSpace),
//                      creates the deepest folders only (DLMessageCreateDirectory:
//                      the host makes the parents), of the backup and of its
//                      copy in <udid>/Snapshot/, sends every file into
//                      Snapshot/ (["DLMessageUploadFiles", {}, progress, bytes
//                      of the batch]; Status.plist last), moves them into
//                      place ([kind, {from: to}, {}, progress], at most 1000
//                      a message; DLMessageMoveFiles before iOS 10,
//                      DLMessageMoveItems from 10), all but Status.plist,
//                      removes what the host holds beyond the backup
//                      (DLContentsOfDirectory, DLMessageRemoveItems), moves
//                      Status.plist, removes Snapshot/ (DLMessageRemoveItems)
//                      and ends with a process message carrying ErrorCode 0,
//                      or 104 when the host failed a move or the removal
// Where the real-phone behaviour comes from (the reference host is
// libimobiledevice 1.3.0's tools/idevicebackup2.c, known to work with phones):
//   four-element upload message   its mb2_handle_receive_files reads nothing
//                      from a shorter one and its progress takes element 3
//   -13 "Multi status" with DLFileErrorCode / DLFileErrorString per path: its
//                      mb2_handle_send_files, for any failed file; that a
//                      phone refuses other answers is our assumption
//   asking for Status.plist and Manifest.plist first: users' logs of
//                      incremental backups (libimobiledevice issue 1582)
//   Snapshot/ route   users' logs of phones from iOS 7 to 17 (libimobiledevice
//                      issues 58, 362, 630, 1135, 1544): files arrive under
//                      <udid>/Snapshot/, then "Moving N files" in a few
//                      messages (the last ones of one file each), then
//                      "Removing 1 file", the Snapshot folder, whose failure
//                      the phone reports as 104 "Error removing snapshot
//                      directory"; iOS 10 leaves the emptied 00..ff folders in
//                      it (issue 362). Which iOS sends MoveFiles rather than
//                      MoveItems, the batch size and that the stale files go
//                      before Status.plist are our assumptions (the reference
//                      host handles both kinds alike, removing the target and
//                      renaming without creating parents)
//   mkdir with parents its mb2_handle_make_directory (mkdir_with_parents)
//   missing folder listed as 0 and {}: its mb2_handle_list_directory
//   DLMessageCopyItem never sent: both hosts serve it (the reference host
//                      copies a file or a folder's files when asked, and never
//                      copies the previous backup by itself, in 1.3.0 or
//                      later), but no log shows which phone asks for what
//   passcode prompt   the names and the version come from libimobiledevice's
//                      later idevicebackup2.c (2022), which observes both and,
//                      from 16.1 on, waits up to 2 s after the request for the
//                      first; 1.3.0 does not observe them and simply waits. That
//                      it comes before any file request is our assumption
//   Restore            lists the host's <udid>/ (DLContentsOfDirectory),
//                      fetches it (DLMessageDownloadFiles) and restores it
//                      with the stand-in's staged swap; Options.Password
//                      unlocks an encrypted backup. Unless
//                      Options.RestoreShouldReboot is false (the reference
//                      host sends false unless asked to reboot) it reboots
//                      after its final message: Sim.Reboots counts up and the
//                      link drops
// Requests must name this device as TargetIdentifier.
//
// Transfer failures end the run with a process message whose ErrorCode is the
// device's own: 104 upload errors, 105 not enough space, 202 cancelled, 205
// backup invalid, 207 wrong password, 208 device locked, 209 passcode not
// entered on the device, 211 Find My on, 212 setup not finished. The stand-in's
// Sim.Faults (errorCode, FailAfterBytes, UnplugAfterBytes, TransferDelayMs, ...)
// apply as they do to simbackup, its driver codes read back as these; an
// unplugged device hangs up without a message. More faults:
//   Backup2ErrorCode   integer: Backup and Restore answer at once with this
//                      device ErrorCode
//   Backup2HostPath    text: the first upload names this host path instead
//                      (a hostile device)
//   Backup2SnapshotState  text: the Status.plist sent says this SnapshotState
//                      (a device that ends without finishing its snapshot)
//   Backup2RemoteEndAfterFiles  integer: after that many files, one ends
//                      with the device's own read-error code 0x0b after its
//                      whole data (real phones do; the reference host keeps it)
//   Backup2UploadElements  3: the upload message lacks its total size
//   Backup2UnplugAfterFiles  integer: after that many files sent whole, the
//                      device is unplugged in the middle of the next one
//
// mobilesync serves one data class per connection from
// <device>/sync/<data class>.plist (a dictionary of records by identifier):
// records in batches of Sim.Faults.SyncBatch (default 2), changes with new
// identifiers remapped to device identifiers, clearing, finishing. A class
// whose com.apple.mobile.tethered_sync entry has DisableTethered true is refused.
//
// Sim.Faults.ReplaceReply: { key : plist } sends that plist instead of the
// answer to the message named by key (a MessageName, an SD message kind,
// "VersionExchange" for the offer or "DeviceReady").

#include "sim/backup/operations.h"
#include "sim/framework/protoservers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

namespace sim {

namespace {

constexpr uint32_t kMaxFrame = 4u * 1024 * 1024;
constexpr char kEmpty[] = "___EmptyParameterString___";

std::mutex& captureMutex() {
    static auto* m = new std::mutex; // outlives detached service threads at exit
    return *m;
}

void capture(const char* bytes, size_t length) {
    const QString path = qEnvironmentVariable("VEXLAR_SIM_CAPTURE");
    if (path.isEmpty()) {
        return;
    }
    std::lock_guard lock(captureMutex());
    QFile f(path);
    if (f.open(QIODevice::Append)) {
        f.write(bytes, static_cast<qint64>(length));
    }
}

plist_t str(const char* text) {
    return plist_new_string(text);
}

Plist array(std::initializer_list<plist_t> items) {
    Plist a(plist_new_array());
    for (plist_t item : items) {
        plist_array_append_item(a.get(), item);
    }
    return a;
}

std::string kindOf(plist_t message) {
    return message && plist_get_node_type(message) == PLIST_ARRAY && plist_array_get_size(message) > 0
               ? stringOf(plist_array_get_item(message, 0))
               : std::string();
}

plist_t element(plist_t message, uint32_t i) {
    return message && plist_get_node_type(message) == PLIST_ARRAY && i < plist_array_get_size(message)
               ? plist_array_get_item(message, i)
               : nullptr;
}

bool numberAt(plist_t node, double* value) {
    if (!node) {
        return false;
    }
    if (plist_get_node_type(node) == PLIST_REAL) {
        plist_get_real_val(node, value);
        return true;
    }
    if (plist_get_node_type(node) == PLIST_UINT) {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        *value = static_cast<double>(v);
        return true;
    }
    return false;
}

// Sends the test's replacement for `key` if there is one, else `reply`.
bool answer(ServiceConnection& conn, const char* key, plist_t reply, bool binary) {
    Plist replaced = replacedReply(conn.setup().deviceDir, key);
    return conn.sendPlist(replaced ? replaced.get() : reply, binary);
}

bool versionExchange(ServiceConnection& conn) {
    Plist device = readPlistFile(conn.setup().deviceDir + QStringLiteral("/device.plist"));
    Plist ready = array({str("DLMessageDeviceReady")});
    if (boolAt(device.get(), {"Sim", "Faults", "DeviceLinkReady"}, false)) {
        return answer(conn, "DeviceReady", ready.get(), true);
    }
    Plist offer = array({str("DLMessageVersionExchange"), plist_new_uint(400), plist_new_uint(0)});
    if (!answer(conn, "VersionExchange", offer.get(), true)) {
        return false;
    }
    Plist reply = recvCapturedFrame(conn);
    double major = 0;
    if (kindOf(reply.get()) != "DLMessageVersionExchange" || stringOf(element(reply.get(), 1)) != "DLVersionsOk" ||
        !numberAt(element(reply.get(), 2), &major) || major != 400) {
        return false; // a device that does not get its version hangs up
    }
    return answer(conn, "DeviceReady", ready.get(), true);
}

Plist response(int64_t errorCode, const char* description) {
    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "MessageName", str("Response"));
    plist_dict_set_item(dict.get(), "ErrorCode", plist_new_uint(static_cast<uint64_t>(errorCode)));
    if (description) {
        plist_dict_set_item(dict.get(), "ErrorDescription", str(description));
    }
    return dict;
}

bool sendResponse(ServiceConnection& conn, const char* key, Plist dict) {
    Plist message = array({str("DLMessageProcessMessage"), dict.release()});
    return conn.beforeReply() && answer(conn, key, message.get(), true);
}

QString udidOf(const ServiceConnection& conn) {
    return QDir(conn.setup().deviceDir).dirName();
}

// --- The device side of a backup's file transfer ---

constexpr uint8_t kCodeSuccess = 0x00;
constexpr uint8_t kCodeFileData = 0x0c;
constexpr uint32_t kChunk = 65536;
constexpr int kFilesPerMessage = 64;
constexpr int kMovesPerMessage = 1000;

bool sendU32(ServiceConnection& conn, uint32_t v) {
    const unsigned char be[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                 static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    return conn.sendAll(be, 4);
}

bool recvU32(ServiceConnection& conn, uint32_t* v) {
    unsigned char be[4];
    if (!conn.recvAll(be, 4)) {
        return false;
    }
    *v = (uint32_t(be[0]) << 24) | (uint32_t(be[1]) << 16) | (uint32_t(be[2]) << 8) | be[3];
    return true;
}

bool sendText(ServiceConnection& conn, const QByteArray& text) {
    return sendU32(conn, static_cast<uint32_t>(text.size())) && conn.sendAll(text.constData(), text.size());
}

bool sendDL(ServiceConnection& conn, Plist message) {
    return conn.beforeReply() && conn.sendPlist(message.get(), true);
}

// The host's status response to a file request: its code (false when none came).
bool recvStatus(ServiceConnection& conn, int64_t* code, Plist* value = nullptr) {
    Plist status = recvCapturedFrame(conn);
    if (kindOf(status.get()) != "DLMessageStatusResponse" || !element(status.get(), 1)) {
        return false;
    }
    uint64_t raw = 0;
    plist_get_uint_val(element(status.get(), 1), &raw);
    *code = static_cast<int64_t>(raw);
    if (value && element(status.get(), 3)) {
        value->reset(plist_copy(element(status.get(), 3)));
    }
    return true;
}

// The device's ErrorDescription for its ErrorCode, as phones word them where
// users have quoted them in libimobiledevice's issue tracker:
//   105  confirmed: "Insufficient free disk space on drive to back up
//        (MBErrorDomain/105)" (libimobiledevice issue 1384)
//   205  confirmed: "Error reading backup properties (MBErrorDomain/205)" after
//        the host sent an unreadable manifest (issue 1582); phones also use 205
//        for "Multiple errors downloading files" during a restore (issue 801)
//   104, 202, 207, 208, 209, 211, 212: not confirmed from the sources; our own
//        wording in the same form
const char* descriptionOf(int code) {
    static const std::map<int, const char*> texts = {
        {104, "Multiple errors uploading files (MBErrorDomain/104)"},
        {105, "Insufficient free disk space on drive to back up (MBErrorDomain/105)"},
        {202, "Backup cancelled on the device (MBErrorDomain/202)"},
        {205, "Error reading backup properties (MBErrorDomain/205)"},
        {207, "Wrong backup password (MBErrorDomain/207)"},
        {208, "Device locked (MBErrorDomain/208)"},
        {209, "Passcode not entered on the device (MBErrorDomain/209)"},
        {211, "Find My is on (MBErrorDomain/211)"},
        {212, "Setup not finished (MBErrorDomain/212)"}};
    const auto it = texts.find(code);
    return it != texts.end() ? it->second : "The transfer failed";
}

// The device's code for a failure of the stand-in's writer or reader.
int deviceCodeOf(int driverCode) {
    static const std::map<int, int> codes = {{-30, 104}, {-36, 105}, {-21, 202}, {-20, 205}, {-5, 207},
                                             {-35, 208}, {-1, 209},  {-37, 211}, {-38, 212}};
    const auto it = codes.find(driverCode);
    return it != codes.end() ? it->second : std::abs(driverCode);
}

int injectedCode(const ServiceConnection& conn) {
    Plist device = readPlistFile(conn.setup().deviceDir + QStringLiteral("/device.plist"));
    return static_cast<int>(intAt(device.get(), {"Sim", "Faults", "Backup2ErrorCode"}, 0));
}

// Names (files and folders) the host holds below `path`, recursively; false
// when the host did not answer.
bool listHost(ServiceConnection& conn, const QString& path, QStringList* files, QStringList* dirs) {
    if (!sendDL(conn, array({str("DLContentsOfDirectory"), str(path.toUtf8().constData())}))) {
        return false;
    }
    int64_t code = 0;
    Plist entries;
    if (!recvStatus(conn, &code, &entries)) {
        return false;
    }
    if (code != 0 || !entries || plist_get_node_type(entries.get()) != PLIST_DICT) {
        return true; // nothing there yet
    }
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(entries.get(), &it);
    QStringList subdirs;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(entries.get(), it, &key, &value);
        if (!key) {
            break;
        }
        const QString name = QString::fromUtf8(key);
        free(key);
        if (name.contains(QLatin1Char('/')) || name == QLatin1String("..") || name == QLatin1String(".")) {
            continue;
        }
        const QString full = path + QLatin1Char('/') + name;
        if (stringOf(dictPath(value, {"DLFileType"})) == "DLFileTypeDirectory") {
            subdirs << full;
        } else {
            files->append(full);
        }
    }
    free(it);
    for (const QString& d : subdirs) {
        dirs->append(d);
        if (!listHost(conn, d, files, dirs)) {
            return false;
        }
    }
    return true;
}

bool runDirectoryRequest(ServiceConnection& conn, const char* kind, const QString& path) {
    int64_t code = 0;
    return sendDL(conn, array({str(kind), str(path.toUtf8().constData())})) && recvStatus(conn, &code);
}

struct UploadFaults {
    QByteArray hostileName;           // sent instead of the first file's host name
    int64_t unplugAfterFiles = -1;    // files sent whole before the cable goes
    int64_t remoteEndAfterFiles = -1; // files ended with success before one ends with the device's own 0x0b
    bool shortMessage = false;        // the three-element upload message no phone sends
    bool unplugged = false;
};

// Sends one batch of files ({host name, local file}) as DLMessageUploadFiles.
bool uploadBatch(ServiceConnection& conn, const QList<QPair<QString, QString>>& batch, double progress,
                 UploadFaults* faults) {
    uint64_t batchBytes = 0;
    for (const auto& file : batch) {
        batchBytes += static_cast<uint64_t>(QFileInfo(file.second).size());
    }
    Plist message = array({str("DLMessageUploadFiles"), plist_new_dict(), plist_new_real(progress)});
    if (!faults->shortMessage) {
        plist_array_append_item(message.get(), plist_new_uint(batchBytes));
    }
    if (!sendDL(conn, std::move(message))) {
        return false;
    }
    // Pulled in the middle of a file.
    const auto pull = [&conn, faults] {
        editDevicePlist(conn.setup().deviceDir, [](plist_t root) { setPlugged(root, false); });
        faults->unplugged = true;
        return false;
    };
    QByteArray chunk(kChunk + 1, Qt::Uninitialized);
    for (const auto& [hostName, local] : batch) {
        if (conn.setup().present && !conn.setup().present->load()) {
            return false;
        }
        QByteArray name = hostName.toUtf8();
        if (!faults->hostileName.isEmpty()) {
            name = faults->hostileName;
            faults->hostileName.clear();
        }
        QFile f(local);
        if (!f.open(QIODevice::ReadOnly) || !sendText(conn, name) || !sendText(conn, name)) {
            return false;
        }
        for (;;) {
            chunk[0] = static_cast<char>(kCodeFileData);
            const qint64 n = f.read(chunk.data() + 1, kChunk);
            if (n <= 0) {
                break;
            }
            if (!sendU32(conn, static_cast<uint32_t>(n + 1)) || !conn.sendAll(chunk.constData(), n + 1)) {
                return false;
            }
            if (faults->unplugAfterFiles == 0) {
                return pull();
            }
        }
        if (faults->unplugAfterFiles-- == 0) {
            return pull(); // an empty file: pulled before its end
        }
        if (faults->remoteEndAfterFiles-- == 0) {
            if (!sendText(conn, QByteArray("\x0b") + "Input/output error")) {
                return false;
            }
            continue;
        }
        const char ok = static_cast<char>(kCodeSuccess);
        if (!sendU32(conn, 1) || !conn.sendAll(&ok, 1)) {
            return false;
        }
    }
    int64_t code = 0;
    return sendU32(conn, 0) && recvStatus(conn, &code) && code == 0;
}

bool previousBackupAnswered(ServiceConnection& conn, const QString& udid);

// The device's iOS version as major * 100 + minor (1601 for "16.1.2").
int iosVersion(plist_t device) {
    const QStringList parts =
        QString::fromStdString(stringOf(dictPath(device, {"Lockdown", "", "ProductVersion"}))).split('.');
    return parts.value(0).toInt() * 100 + parts.value(1).toInt();
}

// Moves host files (Snapshot name, final name) in one message; false when the link broke.
bool moveOnHost(ServiceConnection& conn, const char* kind, const QList<QPair<QString, QString>>& moves, double progress,
                int64_t* code) {
    Plist map(plist_new_dict());
    for (const auto& [from, to] : moves) {
        plist_dict_set_item(map.get(), from.toUtf8().constData(), str(to.toUtf8().constData()));
    }
    return sendDL(conn, array({str(kind), map.release(), plist_new_dict(), plist_new_real(progress)})) &&
           recvStatus(conn, code);
}

// From iOS 16.1 a phone with a passcode asks for it before it backs up and
// sends nothing until it is entered: Sim.PasscodePromptMs is how long its user
// takes. False when the device went away meanwhile.
bool askForPasscode(ServiceConnection& conn) {
    Plist device = readPlistFile(conn.setup().deviceDir + QStringLiteral("/device.plist"));
    const int64_t promptMs = intAt(device.get(), {"Sim", "PasscodePromptMs"}, 0);
    if (promptMs <= 0 || iosVersion(device.get()) < 1601) {
        return true;
    }
    postDeviceNotification(conn.setup().deviceDir, "com.apple.LocalAuthentication.ui.presented");
    const QDeadlineTimer entered(promptMs);
    while (!entered.hasExpired()) {
        if (!conn.alive() || (conn.setup().present && !conn.setup().present->load())) {
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(100, entered.remainingTime())));
    }
    postDeviceNotification(conn.setup().deviceDir, "com.apple.LocalAuthentication.ui.dismissed");
    return true;
}

// The backup: <0 hang up, else the ErrorCode of the final process message.
int transferBackup(ServiceConnection& conn) {
    if (int injected = injectedCode(conn)) {
        return injected;
    }
    if (!askForPasscode(conn)) {
        return -1;
    }
    const QString udid = udidOf(conn);
    QTemporaryDir staged;
    if (!staged.isValid()) {
        return 205;
    }
    simbackup::Session session(conn.setup().deviceDir, false, [](plist_t) { return true; });
    try {
        simbackup::runBackup(session, staged.path());
    } catch (const simbackup::Failure& f) {
        return f.code == simbackup::kErrAttach ? -1 : deviceCodeOf(f.code);
    }
    const QString local = staged.filePath(udid);
    Plist device = readPlistFile(conn.setup().deviceDir + QStringLiteral("/device.plist"));
    if (plist_t state = dictPath(device.get(), {"Sim", "Faults", "Backup2SnapshotState"})) {
        Plist status = readPlistFile(local + QStringLiteral("/Status.plist"));
        plist_dict_set_item(status.get(), "SnapshotState", plist_copy(state));
        writePlistFile(local + QStringLiteral("/Status.plist"), status.get());
    }
    // Files go to <udid>/Snapshot/ first and are moved into place at the end.
    const QString snapshot = udid + QStringLiteral("/Snapshot");
    const auto inSnapshot = [&](const QString& host) { return snapshot + host.mid(udid.size()); };
    QList<QPair<QString, QString>> files;
    QStringList folders{udid};
    QSet<QString> names;
    qint64 total = 0;
    QDirIterator it(local, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString host = udid + QLatin1Char('/') + QDir(local).relativeFilePath(path);
        names.insert(host);
        if (it.fileInfo().isDir()) {
            folders << host;
        } else {
            // Info.plist is the host's own (the reference host writes it before
            // the request); a phone never sends one.
            if (host != udid + QStringLiteral("/Info.plist")) {
                files.append({host, path});
            }
            total += it.fileInfo().size();
        }
    }
    // Descriptions last, Status.plist at the very end: the host's folder
    // describes a finished backup only once everything else is there.
    std::stable_sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        const auto rank = [](const QString& n) {
            return n.endsWith(QLatin1String("/Status.plist")) ? 2 : n.count(QLatin1Char('/')) == 1 ? 1 : 0;
        };
        return rank(a.first) < rank(b.first);
    });

    if (!previousBackupAnswered(conn, udid)) {
        return conn.alive() ? 205 : -1;
    }
    if (!sendDL(conn, array({str("DLMessageGetFreeDiskSpace")}))) {
        return -1;
    }
    int64_t code = 0;
    Plist space;
    if (!recvStatus(conn, &code, &space)) {
        return -1;
    }
    uint64_t freeBytes = 0;
    if (space && plist_get_node_type(space.get()) == PLIST_UINT) {
        plist_get_uint_val(space.get(), &freeBytes);
    }
    if (code != 0 || freeBytes < static_cast<uint64_t>(total)) {
        return 105;
    }
    const QStringList finalFolders = folders;
    for (const QString& folder : finalFolders) {
        folders << inSnapshot(folder);
    }
    for (const QString& folder : folders) {
        const bool hasChild = std::any_of(folders.cbegin(), folders.cend(), [&folder](const QString& other) {
            return other.startsWith(folder + QLatin1Char('/'));
        });
        if (!hasChild && !runDirectoryRequest(conn, "DLMessageCreateDirectory", folder)) {
            return -1;
        }
    }
    UploadFaults faults;
    faults.hostileName =
        QByteArray::fromStdString(stringOf(dictPath(device.get(), {"Sim", "Faults", "Backup2HostPath"})));
    faults.unplugAfterFiles = intAt(device.get(), {"Sim", "Faults", "Backup2UnplugAfterFiles"}, -1);
    faults.remoteEndAfterFiles = intAt(device.get(), {"Sim", "Faults", "Backup2RemoteEndAfterFiles"}, -1);
    faults.shortMessage = intAt(device.get(), {"Sim", "Faults", "Backup2UploadElements"}, 4) == 3;
    QList<QPair<QString, QString>> uploads;
    for (const auto& [host, path] : files) {
        uploads.append({inSnapshot(host), path});
    }
    for (qsizetype start = 0; start < uploads.size(); start += kFilesPerMessage) {
        const double progress = total > 0 ? 100.0 * static_cast<double>(start) / static_cast<double>(files.size()) : 0;
        if (!uploadBatch(conn, uploads.mid(start, kFilesPerMessage), progress, &faults)) {
            return !faults.unplugged && conn.alive() && (!conn.setup().present || conn.setup().present->load()) ? 104
                                                                                                                : -1;
        }
    }
    // Into place: the data files, the descriptions, then (once what the host holds beyond the backup is
    // gone) Status.plist; the emptied Snapshot folder last.
    const char* moveKind = iosVersion(device.get()) < 1000 ? "DLMessageMoveFiles" : "DLMessageMoveItems";
    QList<QList<QPair<QString, QString>>> moves(1);
    for (const auto& [host, path] : files) {
        if (moves.last().size() == kMovesPerMessage || host == udid + QStringLiteral("/Status.plist")) {
            moves.append(QList<QPair<QString, QString>>());
        }
        moves.last().append({inSnapshot(host), host});
    }
    moves.removeIf([](const auto& batch) { return batch.isEmpty(); });
    const auto movedInto = [&](qsizetype from, qsizetype to) {
        for (qsizetype i = from; i < to; ++i) {
            if (!moveOnHost(conn, moveKind, moves[i], 100.0 * double(i) / double(moves.size()), &code)) {
                return -1;
            }
            if (code != 0) {
                return 104;
            }
        }
        return 0;
    };
    if (const int failed = movedInto(0, moves.size() - 1)) {
        return failed;
    }
    QStringList hostFiles, hostDirs;
    if (!listHost(conn, udid, &hostFiles, &hostDirs)) {
        return -1;
    }
    Plist stale(plist_new_array());
    for (const QString& name : hostFiles + hostDirs) {
        if (!names.contains(name) && name != snapshot && !name.startsWith(snapshot + QLatin1Char('/'))) {
            plist_array_append_item(stale.get(), str(name.toUtf8().constData()));
        }
    }
    if (plist_array_get_size(stale.get()) > 0) {
        if (!sendDL(conn,
                    array({str("DLMessageRemoveItems"), stale.release(), plist_new_dict(), plist_new_real(100)})) ||
            !recvStatus(conn, &code)) {
            return -1;
        }
    }
    if (const int failed = movedInto(moves.size() - 1, moves.size())) {
        return failed;
    }
    if (!sendDL(conn, array({str("DLMessageRemoveItems"), array({str(snapshot.toUtf8().constData())}).release(),
                             plist_new_dict(), plist_new_real(100)})) ||
        !recvStatus(conn, &code)) {
        return -1;
    }
    return code == 0 ? 0 : 104;
}

// Fetches host files into dir; false when the host broke the exchange.
bool downloadBatch(ServiceConnection& conn, const QStringList& batch, double progress, const QString& dir,
                   int64_t* code = nullptr, Plist* errors = nullptr) {
    Plist list(plist_new_array());
    QSet<QByteArray> asked;
    for (const QString& name : batch) {
        plist_array_append_item(list.get(), str(name.toUtf8().constData()));
        asked.insert(name.toUtf8());
    }
    if (!sendDL(conn,
                array({str("DLMessageDownloadFiles"), list.release(), plist_new_dict(), plist_new_real(progress)}))) {
        return false;
    }
    QByteArray buffer;
    for (;;) {
        uint32_t length = 0;
        if (!recvU32(conn, &length)) {
            return false;
        }
        if (length == 0) {
            break;
        }
        QByteArray name(static_cast<qsizetype>(std::min<uint32_t>(length, 4096)), Qt::Uninitialized);
        if (length > 4096 || !conn.recvAll(name.data(), length) || !asked.contains(name)) {
            return false;
        }
        const QString path = dir + QLatin1Char('/') + QString::fromUtf8(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly)) {
            return false;
        }
        for (;;) {
            uint32_t block = 0;
            if (!recvU32(conn, &block) || block == 0 || block > kChunk * 16 + 1) {
                return false;
            }
            buffer.resize(block);
            if (!conn.recvAll(buffer.data(), block)) {
                return false;
            }
            if (static_cast<uint8_t>(buffer[0]) == kCodeFileData) {
                out.write(buffer.constData() + 1, block - 1);
                continue;
            }
            if (static_cast<uint8_t>(buffer[0]) != kCodeSuccess) {
                out.remove(); // the host could not read it: the restore sees it missing
            }
            break;
        }
    }
    int64_t status = 0;
    return recvStatus(conn, code ? code : &status, errors);
}

// The host's answer to the opening request for its last Status.plist and
// manifest: each file sent, or missing and named in a multi status (-13).
bool previousBackupAnswered(ServiceConnection& conn, const QString& udid) {
    QTemporaryDir previous;
    const QStringList asked{udid + QStringLiteral("/Status.plist"), udid + QStringLiteral("/Manifest.plist")};
    int64_t code = -1;
    Plist errors;
    if (!previous.isValid() || !downloadBatch(conn, asked, 0, previous.path(), &code, &errors)) {
        return false;
    }
    // The reference host stops at the first missing file: the rest go unanswered.
    const bool named = std::any_of(asked.cbegin(), asked.cend(), [&](const QString& name) {
        return !QFileInfo::exists(previous.filePath(name)) && errors &&
               plist_get_node_type(errors.get()) == PLIST_DICT &&
               plist_dict_get_item(errors.get(), name.toUtf8().constData());
    });
    return code == 0 || (code == -13 && named);
}

int transferRestore(ServiceConnection& conn, const std::string& password) {
    if (int injected = injectedCode(conn)) {
        return injected;
    }
    const QString udid = udidOf(conn);
    QStringList files, dirs;
    if (!listHost(conn, udid, &files, &dirs)) {
        return -1;
    }
    QTemporaryDir staged;
    if (!staged.isValid()) {
        return 205;
    }
    QDir().mkpath(staged.filePath(udid));
    for (qsizetype start = 0; start < files.size(); start += kFilesPerMessage) {
        const double progress = 100.0 * static_cast<double>(start) / static_cast<double>(files.size());
        if (!downloadBatch(conn, files.mid(start, kFilesPerMessage), progress, staged.path())) {
            return -1;
        }
    }
    simbackup::Session session(conn.setup().deviceDir, true, [](plist_t) { return true; });
    try {
        simbackup::runRestore(session, staged.path(), QString::fromStdString(password));
    } catch (const simbackup::Failure& f) {
        return f.code == simbackup::kErrAttach ? -1 : deviceCodeOf(f.code);
    }
    return 0;
}

} // namespace

Plist recvCapturedFrame(ServiceConnection& conn, bool* wasBinary) {
    char frame[4];
    if (!conn.recvAll(frame, 4)) {
        return nullptr;
    }
    uint32_t length = 0;
    for (char c : frame) {
        length = (length << 8) | static_cast<unsigned char>(c);
    }
    if (length == 0 || length > kMaxFrame) {
        return nullptr;
    }
    std::string bytes(4 + length, '\0');
    memcpy(bytes.data(), frame, 4);
    if (!conn.recvAll(bytes.data() + 4, length)) {
        return nullptr;
    }
    capture(bytes.data(), bytes.size());
    if (wasBinary) {
        *wasBinary = plist_is_binary(bytes.data() + 4, length) != 0;
    }
    return parsePlist(bytes.data() + 4, length);
}

Plist replacedReply(const QString& deviceDir, const char* key) {
    Plist device = readPlistFile(deviceDir + QStringLiteral("/device.plist"));
    plist_t node = dictPath(device.get(), {"Sim", "Faults", "ReplaceReply", key});
    return Plist(node ? plist_copy(node) : nullptr);
}

// The dictionary at path below root, made (in place of anything else there) where missing.
static plist_t dictAt(plist_t root, std::initializer_list<const char*> path) {
    plist_t node = root;
    for (const char* key : path) {
        plist_t child = plist_dict_get_item(node, key);
        if (!child || plist_get_node_type(child) != PLIST_DICT) {
            child = plist_new_dict();
            plist_dict_set_item(node, key, child);
        }
        node = child;
    }
    return node;
}

bool editDevicePlist(const QString& deviceDir, const std::function<void(plist_t)>& edit) {
    DeviceLock lock(deviceDir);
    const QString path = deviceDir + QStringLiteral("/device.plist");
    Plist device = readPlistFile(path);
    if (!device || plist_get_node_type(device.get()) != PLIST_DICT) {
        return false;
    }
    edit(device.get());
    return writePlistFile(path, device.get());
}

// The answer to ChangePassword, as described at the top.
Plist changePassword(ServiceConnection& conn, plist_t message) {
    const auto given = [message](const char* key, std::string* value) {
        plist_t node = dictPath(message, {key});
        *value = stringOf(node);
        return node && plist_get_node_type(node) == PLIST_STRING && !value->empty();
    };
    std::string oldPassword, newPassword;
    const bool hasOld = given("OldPassword", &oldPassword);
    const bool hasNew = given("NewPassword", &newPassword);
    bool accepted = false;
    const bool saved = editDevicePlist(conn.setup().deviceDir, [&](plist_t root) {
        const bool encrypted = boolAt(root, {"Lockdown", "com.apple.mobile.backup", "WillEncrypt"}, false);
        const std::string current = stringOf(dictPath(root, {"Sim", "BackupPassword"}));
        accepted = encrypted ? hasOld && oldPassword == current : hasNew && !hasOld;
        if (!accepted) {
            return;
        }
        plist_dict_set_item(dictAt(root, {"Lockdown", "com.apple.mobile.backup"}), "WillEncrypt",
                            plist_new_bool(hasNew ? 1 : 0));
        plist_t sim = dictAt(root, {"Sim"});
        if (hasNew) {
            plist_dict_set_item(sim, "BackupPassword", plist_new_string(newPassword.c_str()));
        } else {
            plist_dict_remove_item(sim, "BackupPassword");
        }
    });
    if (!saved) {
        return response(4, "Cannot save the setting");
    }
    return accepted ? response(0, nullptr) : response(207, descriptionOf(207));
}

void serveMobileBackup2(ServiceConnection& conn) {
    if (!versionExchange(conn)) {
        return;
    }
    bool helloDone = false;
    while (conn.alive()) {
        Plist message = recvCapturedFrame(conn);
        const std::string kind = kindOf(message.get());
        if (kind == "DLMessageStatusResponse") {
            continue; // answers the file requests of a transfer, which is not simulated
        }
        if (kind != "DLMessageProcessMessage") {
            return; // a disconnect, the end of the stream or nonsense
        }
        plist_t dict = element(message.get(), 1);
        const std::string name = stringOf(dictPath(dict, {"MessageName"}));
        if (name == "Hello") {
            Plist device = readPlistFile(conn.setup().deviceDir + QStringLiteral("/device.plist"));
            plist_t supported = dictPath(device.get(), {"Sim", "Faults", "Backup2Versions"});
            Plist fallback = array({plist_new_real(2.0), plist_new_real(2.1)});
            if (!supported || plist_get_node_type(supported) != PLIST_ARRAY) {
                supported = fallback.get();
            }
            plist_t offered = dictPath(dict, {"SupportedProtocolVersions"});
            double best = -1;
            for (uint32_t i = 0;
                 offered && plist_get_node_type(offered) == PLIST_ARRAY && i < plist_array_get_size(offered); ++i) {
                double v = 0;
                if (!numberAt(plist_array_get_item(offered, i), &v)) {
                    continue;
                }
                for (uint32_t j = 0; j < plist_array_get_size(supported); ++j) {
                    double s = 0;
                    if (numberAt(plist_array_get_item(supported, j), &s) && std::fabs(s - v) < 1e-9 && v > best) {
                        best = v;
                    }
                }
            }
            Plist reply = response(best < 0 ? 1 : 0, nullptr);
            if (best >= 0) {
                plist_dict_set_item(reply.get(), "ProtocolVersion", plist_new_real(best));
                helloDone = true;
            }
            if (!sendResponse(conn, "Hello", std::move(reply))) {
                return;
            }
            continue;
        }
        if (!helloDone) {
            return;
        }
        if (stringOf(dictPath(dict, {"TargetIdentifier"})) != udidOf(conn).toStdString()) {
            if (!sendResponse(conn, name.c_str(), response(2, "Unknown target device"))) {
                return;
            }
            continue;
        }
        Plist reply;
        if (name == "EnableCloudBackup") {
            plist_t state = dictPath(dict, {"CloudBackupState"});
            if (!state || plist_get_node_type(state) != PLIST_BOOLEAN) {
                reply = response(3, "CloudBackupState missing");
            } else {
                uint8_t on = 0;
                plist_get_bool_val(state, &on);
                const bool saved = editDevicePlist(conn.setup().deviceDir, [on](plist_t root) {
                    plist_dict_set_item(dictAt(root, {"Lockdown", "com.apple.mobile.backup"}), "CloudBackupEnabled",
                                        plist_new_bool(on));
                });
                reply = saved ? response(0, nullptr) : response(4, "Cannot save the setting");
            }
        } else if (name == "ChangePassword") {
            reply = changePassword(conn, dict);
        } else if (name == "Backup" || name == "Restore") {
            plist_t options = dictPath(dict, {"Options"});
            if (options && plist_get_node_type(options) != PLIST_DICT) {
                reply = response(3, "Options is not a dictionary");
            } else {
                const int code = name == "Backup" ? transferBackup(conn)
                                                  : transferRestore(conn, stringOf(dictPath(options, {"Password"})));
                if (code < 0) {
                    return; // unplugged or the host went away: hang up
                }
                reply = response(code, code ? descriptionOf(code) : nullptr);
                if (name == "Restore" && code == 0 && boolAt(options, {"RestoreShouldReboot"}, true)) {
                    // The phone restarts at once: the host's goodbye finds the link gone.
                    // (Counted first: the host may look as soon as it has the answer.)
                    editDevicePlist(conn.setup().deviceDir, [](plist_t root) {
                        plist_t sim = plist_dict_get_item(root, "Sim");
                        if (sim && plist_get_node_type(sim) == PLIST_DICT) {
                            plist_dict_set_item(sim, "Reboots", plist_new_uint(intAt(root, {"Sim", "Reboots"}, 0) + 1));
                        }
                    });
                    sendResponse(conn, name.c_str(), std::move(reply));
                    return;
                }
            }
        } else {
            reply = response(3, "Unsupported request");
        }
        if (!sendResponse(conn, name.c_str(), std::move(reply))) {
            return;
        }
    }
}

namespace {

bool plausibleDataClass(const std::string& name) {
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$"));
    return re.match(QString::fromStdString(name)).hasMatch();
}

bool sendSync(ServiceConnection& conn, const std::string& key, std::initializer_list<plist_t> items) {
    Plist message = array(items);
    return conn.beforeReply() && answer(conn, key.c_str(), message.get(), false);
}

} // namespace

void serveMobileSync(ServiceConnection& conn) {
    if (!versionExchange(conn)) {
        return;
    }
    const QString deviceDir = conn.setup().deviceDir;
    Plist open = recvCapturedFrame(conn);
    const std::string dataClass = stringOf(element(open.get(), 1));
    double version = 0;
    if (kindOf(open.get()) != "SDMessageSyncDataClassWithDevice" || !plausibleDataClass(dataClass) ||
        !numberAt(element(open.get(), 4), &version)) {
        return;
    }
    Plist device = readPlistFile(deviceDir + QStringLiteral("/device.plist"));
    const int64_t batch = std::clamp<int64_t>(intAt(device.get(), {"Sim", "Faults", "SyncBatch"}, 2), 1, 1000);
    const char* kOpen = "SDMessageSyncDataClassWithDevice";
    if (boolAt(device.get(), {"Lockdown", "com.apple.mobile.tethered_sync", dataClass.c_str(), "DisableTethered"},
               false)) {
        sendSync(conn, kOpen,
                 {str("SDMessageRefuseToSyncDataClassWithComputer"), str(dataClass.c_str()),
                  str("Tethered sync is disabled")});
        return;
    }
    if (!sendSync(conn, kOpen,
                  {str("SDMessageSyncDataClassWithComputer"), str(dataClass.c_str()), str("sim-anchor")})) {
        return;
    }
    QDir().mkpath(deviceDir + QStringLiteral("/sync"));
    const QString storePath =
        deviceDir + QStringLiteral("/sync/") + QString::fromStdString(dataClass) + QStringLiteral(".plist");
    Plist store = readPlistFile(storePath);
    if (!store || plist_get_node_type(store.get()) != PLIST_DICT) {
        store.reset(plist_new_dict());
    }
    while (conn.alive()) {
        Plist message = recvCapturedFrame(conn);
        const std::string kind = kindOf(message.get());
        if (kind == "DLMessagePing") {
            continue;
        }
        if (kind.empty() || kind == "DLMessageDisconnect") {
            return;
        }
        if (stringOf(element(message.get(), 1)) != dataClass) {
            sendSync(conn, kind, {str("SDMessageCancelSession"), str(dataClass.c_str()), str("Wrong data class")});
            return;
        }
        if (kind == "SDMessageGetAllRecordsFromDevice") {
            std::vector<std::pair<std::string, plist_t>> records;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(store.get(), &it);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(store.get(), it, &key, &value);
                if (!key) {
                    break;
                }
                records.emplace_back(key, value);
                free(key);
            }
            free(it);
            for (size_t start = 0; start < records.size(); start += static_cast<size_t>(batch)) {
                const size_t end = std::min(records.size(), start + static_cast<size_t>(batch));
                plist_t part = plist_new_dict();
                for (size_t i = start; i < end; ++i) {
                    plist_dict_set_item(part, records[i].first.c_str(), plist_copy(records[i].second));
                }
                if (!sendSync(conn, kind,
                              {str("SDMessageProcessChanges"), str(dataClass.c_str()), part,
                               plist_new_bool(end < records.size()), plist_new_dict()})) {
                    return;
                }
                Plist ack = recvCapturedFrame(conn);
                if (kindOf(ack.get()) != "SDMessageAcknowledgeChangesFromDevice") {
                    return;
                }
            }
            if (!sendSync(conn, "SDMessageDeviceReadyToReceiveChanges",
                          {str("SDMessageDeviceReadyToReceiveChanges"), str(dataClass.c_str())})) {
                return;
            }
        } else if (kind == "SDMessageProcessChanges") {
            plist_t changes = element(message.get(), 2);
            plist_t remap = plist_new_dict();
            if (changes && plist_get_node_type(changes) == PLIST_DICT) {
                plist_dict_iter it = nullptr;
                plist_dict_new_iter(changes, &it);
                for (;;) {
                    char* key = nullptr;
                    plist_t value = nullptr;
                    plist_dict_next_item(changes, it, &key, &value);
                    if (!key) {
                        break;
                    }
                    if (plist_get_node_type(value) != PLIST_DICT) {
                        if (plist_dict_get_item(store.get(), key)) {
                            plist_dict_remove_item(store.get(), key); // anything but a record deletes it
                        }
                    } else if (plist_dict_get_item(store.get(), key)) {
                        plist_dict_set_item(store.get(), key, plist_copy(value));
                    } else {
                        // A record new to the device gets the device's own identifier.
                        std::string fresh;
                        for (uint64_t n = plist_dict_get_size(store.get()) + 1; fresh.empty(); ++n) {
                            const std::string id = "dev-" + std::to_string(n);
                            fresh = plist_dict_get_item(store.get(), id.c_str()) ? std::string() : id;
                        }
                        plist_dict_set_item(store.get(), fresh.c_str(), plist_copy(value));
                        plist_dict_set_item(remap, key, str(fresh.c_str()));
                    }
                    free(key);
                }
                free(it);
            }
            writePlistFile(storePath, store.get());
            if (!sendSync(conn, kind, {str("SDMessageRemapRecordIdentifiers"), str(dataClass.c_str()), remap})) {
                return;
            }
        } else if (kind == "SDMessageClearAllRecordsOnDevice") {
            store.reset(plist_new_dict());
            writePlistFile(storePath, store.get());
            if (!sendSync(conn, kind, {str("SDMessageDeviceWillClearAllRecords"), str(dataClass.c_str())})) {
                return;
            }
        } else if (kind == "SDMessageFinishSessionOnDevice") {
            sendSync(conn, kind, {str("SDMessageDeviceFinishedSession"), str(dataClass.c_str())});
            return;
        } else {
            sendSync(conn, kind, {str("SDMessageCancelSession"), str(dataClass.c_str()), str("Unexpected message")});
            return;
        }
    }
}

} // namespace sim
