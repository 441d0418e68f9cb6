// simusbmuxd: the simulated phones of VEXLAR_SIM_ROOT behind a usbmuxd socket,
// so that the real client libraries can talk to them.
//
//   simusbmuxd --socket PATH [--state DIR] [--owner PID]
//
// With --owner it ends once process PID is gone, so that a daemon started
// detached (not a child of its test) never outlives it.
//
// Speaks the plist flavour of the multiplexer protocol on a UNIX socket: a
// 16-byte little-endian header (length including header, version 1, message
// type 8, tag) and an XML plist. Requests: ListDevices, Listen (then Attached /
// Detached as devices come and go; present devices are announced at once),
// Connect (DeviceID, PortNumber in network order; the socket then carries the
// device port's bytes), ReadPairRecord / SavePairRecord / DeletePairRecord
// (kept in the state folder, default beside the socket) and ReadBUID. A
// SavePairRecord that names the DeviceID of the plugged-in device the record is
// for makes listeners hear "Paired" with that DeviceID, as usbmuxd's
// SavePairRecord does (src/client.c, client_device_paired); libimobiledevice's
// lockdownd_pair saves its record that way (userpref_save_pair_record with the
// device's mux id), and libusbmuxd hands it on as UE_DEVICE_PAIRED.
//
// Pairing on arrival, as usbmuxd's preflight worker does (src/preflight.c): a
// phone without a pair record here is asked to Pair through libimobiledevice,
// which puts up the trust dialog. While it is unanswered the daemon waits for
// the user to tap Trust (the phone posts com.apple.mobile.lockdown.request_pair
// through its insecure notification proxy; here Sim.TrustAccepted turning to
// "accepted") and pairs then, so the phone is trusted without a replug. The
// phone is listed at once either way (usbmuxd lists one it waits on before waiting).
// A record already held is tried with StartSession first: the phone takes it
// (or fails otherwise, which usbmuxd also counts as paired), or does not know
// the host (paired again), or breaks off in TLS (the record is removed and the
// phone paired again). Left out (not simulated): UntrustedHostBUID, the road of
// iOS 6 and older.
//
// A device is plugged in while its device.plist has Sim.Connected not false,
// polled every 250 ms; it gets a new DeviceID each time it comes back (a new
// Sim.Unplugs count tells a quick replug between two polls). Port
// 62078 is lockdown (lockdownserver.cpp); other ports are services lockdown
// started, one connection each.
//
// device.plist keys read by lockdown, besides the Lockdown values:
//   Sim.TrustAccepted       the trust dialog's answer: true / "accepted",
//                           false / "denied", or "pending" while it is up
//   Sim.ServiceSSL          [service names] the device runs over TLS
//   Sim.Faults.LockdownError  { <request name> : <lockdown error> } answered
//                           instead (e.g. Pair: PasswordProtected)
//   Sim.Faults.DeviceLocked true: mobilebackup2 starts only for a host that
//                           sends the escrow bag it got at pairing
//   Sim.Faults.SessionTlsBreak true: the link drops in StartSession's TLS
//                           handshake (a cable glitch)
//   Sim.Connected false     unplugs: Detached, and every connection ends
// plus the service faults of the framework stand-in (DropAfterBytes, ...).

#include "sim/framework/simlink.h"
#include "sim/usbmuxd/lockdownserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#ifdef SIMUSBMUXD_PREFLIGHT
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#endif
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sim;

namespace {

constexpr uint32_t kPlistVersion = 1;
constexpr uint32_t kPlistMessage = 8;
constexpr uint32_t kMaxRequest = 1024 * 1024;
constexpr uint32_t kUsbProductId = 0x12a8;
enum Result : uint64_t { kOk = 0, kBadCommand = 1, kBadDevice = 2, kConnRefused = 3, kBadVersion = 6 };

QString g_stateDir;

struct Client {
    int fd;
    std::mutex sendMutex;
};

bool recvAll(int fd, char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::recv(fd, data, len, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void putLE(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
    }
}

uint32_t getLE(const char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v;
}

bool sendMessage(Client& client, plist_t message, uint32_t tag) {
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(message, &xml, &len);
    if (!xml) {
        return false;
    }
    std::string packet(16, '\0');
    putLE(packet.data(), 16 + len);
    putLE(packet.data() + 4, kPlistVersion);
    putLE(packet.data() + 8, kPlistMessage);
    putLE(packet.data() + 12, tag);
    packet.append(xml, len);
    plist_to_xml_free(xml);
    std::lock_guard lock(client.sendMutex);
    return sendAll(client.fd, packet.data(), packet.size());
}

bool sendResult(Client& client, uint64_t number, uint32_t tag) {
    Plist r(plist_new_dict());
    plist_dict_set_item(r.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(r.get(), "Number", plist_new_uint(number));
    return sendMessage(client, r.get(), tag);
}

plist_t properties(const MuxDevice& d) {
    plist_t p = plist_new_dict();
    plist_dict_set_item(p, "ConnectionSpeed", plist_new_uint(480000000));
    plist_dict_set_item(p, "ConnectionType", plist_new_string("USB"));
    plist_dict_set_item(p, "DeviceID", plist_new_uint(d.id));
    plist_dict_set_item(p, "LocationID", plist_new_uint(0));
    plist_dict_set_item(p, "ProductID", plist_new_uint(kUsbProductId));
    plist_dict_set_item(p, "SerialNumber", plist_new_string(d.udid.toUtf8().constData()));
    return p;
}

plist_t attached(const MuxDevice& d) {
    plist_t m = plist_new_dict();
    plist_dict_set_item(m, "DeviceID", plist_new_uint(d.id));
    plist_dict_set_item(m, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(m, "Properties", properties(d));
    return m;
}

class Registry {
public:
    std::vector<MuxDevice> present() {
        std::lock_guard lock(mutex);
        std::vector<MuxDevice> out;
        for (const auto& [udid, d] : devices) {
            out.push_back(d);
        }
        return out;
    }

    bool byId(uint32_t id, MuxDevice* out) {
        std::lock_guard lock(mutex);
        for (const auto& [udid, d] : devices) {
            if (d.id == id) {
                *out = d;
                return true;
            }
        }
        return false;
    }

    // Announces the present devices to a new listener, then keeps it informed.
    void listen(const std::shared_ptr<Client>& client) {
        std::lock_guard lock(mutex);
        for (const auto& [udid, d] : devices) {
            Plist m(attached(d));
            sendMessage(*client, m.get(), 0);
        }
        listeners.push_back(client);
    }

    // A record was saved for device `id`: its listeners hear "Paired" when that is the device plugged in.
    void paired(uint32_t id, const std::string& udid) {
        std::lock_guard lock(mutex);
        const auto it = devices.find(QString::fromStdString(udid));
        if (it != devices.end() && it->second.id == id) {
            Plist m(plist_new_dict());
            plist_dict_set_item(m.get(), "DeviceID", plist_new_uint(id));
            plist_dict_set_item(m.get(), "MessageType", plist_new_string("Paired"));
            broadcast(m.get());
        }
    }

    void forget(const std::shared_ptr<Client>& client) {
        std::lock_guard lock(mutex);
        listeners.erase(std::remove(listeners.begin(), listeners.end(), client), listeners.end());
    }

    // Returns the devices that arrived.
    std::vector<MuxDevice> poll() {
        struct Plugged {
            QString dir;
            int64_t unplugs;
        };
        std::map<QString, Plugged> plugged; // by udid
        std::set<QString> known;
        {
            std::lock_guard lock(mutex);
            for (const auto& [udid, d] : devices) {
                known.insert(udid);
            }
        }
        const QString root = simRoot();
        if (!root.isEmpty()) {
            const QDir dir(root);
            for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
                const QString folder = dir.absoluteFilePath(name);
                Plist device = readPlistFile(folder + QStringLiteral("/device.plist"));
                if (device && boolAt(device.get(), {"Sim", "Connected"}, true)) {
                    plugged[name] = {folder, unplugCount(device.get())};
                } else if (!device && QFileInfo::exists(folder + QStringLiteral("/device.plist")) &&
                           known.count(name)) {
                    plugged[name] = {}; // a writer is mid-rewrite: not an unplug
                }
            }
        }
        std::lock_guard lock(mutex);
        std::vector<MuxDevice> arrived;
        for (auto it = devices.begin(); it != devices.end();) {
            const auto found = plugged.find(it->first);
            if (found == plugged.end() ||
                (!found->second.dir.isEmpty() && found->second.unplugs != it->second.unplugs)) {
                it->second.present->store(false);
                Plist m(plist_new_dict());
                plist_dict_set_item(m.get(), "DeviceID", plist_new_uint(it->second.id));
                plist_dict_set_item(m.get(), "MessageType", plist_new_string("Detached"));
                broadcast(m.get());
                it = devices.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& [udid, seen] : plugged) {
            if (!devices.count(udid) && !seen.dir.isEmpty()) {
                MuxDevice d;
                d.id = nextId++;
                d.udid = udid;
                d.dir = seen.dir;
                d.unplugs = seen.unplugs;
                devices[udid] = d;
                Plist m(attached(d));
                broadcast(m.get());
                arrived.push_back(d);
            }
        }
        return arrived;
    }

private:
    void broadcast(plist_t m) {
        for (const auto& l : listeners) {
            sendMessage(*l, m, 0);
        }
    }

    std::mutex mutex;
    std::map<QString, MuxDevice> devices;
    std::vector<std::shared_ptr<Client>> listeners;
    uint32_t nextId = 1;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

// Record ids are device identifiers; anything else is refused as a file name.
QString recordPath(const std::string& id) {
    if (id.empty() || id.size() > 64 ||
        id.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_.") !=
            std::string::npos ||
        id[0] == '.') {
        return QString();
    }
    return g_stateDir + QLatin1Char('/') + QString::fromStdString(id) + QStringLiteral(".plist");
}

std::string buid() {
    const QString path = g_stateDir + QStringLiteral("/SystemConfiguration.plist");
    Plist config = readPlistFile(path);
    std::string id = stringOf(dictPath(config.get(), {"SystemBUID"}));
    if (id.empty()) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
        Plist fresh(plist_new_dict());
        plist_dict_set_item(fresh.get(), "SystemBUID", plist_new_string(id.c_str()));
        writePlistFile(path, fresh.get());
    }
    return id;
}

// One client connection; returns when it ends or turns into a device connection.
void serveClient(int fd) {
    auto client = std::make_shared<Client>();
    client->fd = fd;
    bool handedOver = false;
    bool listening = false;
    while (true) {
        char header[16];
        if (!recvAll(fd, header, sizeof header)) {
            break;
        }
        const uint32_t length = getLE(header);
        const uint32_t version = getLE(header + 4);
        const uint32_t type = getLE(header + 8);
        const uint32_t tag = getLE(header + 12);
        if (length < 16 || length - 16 > kMaxRequest) {
            break;
        }
        std::string payload(length - 16, '\0');
        if (!recvAll(fd, payload.data(), payload.size())) {
            break;
        }
        if (version != kPlistVersion || type != kPlistMessage) {
            sendResult(*client, kBadVersion, tag);
            continue;
        }
        Plist request = parsePlist(payload.data(), payload.size());
        const std::string kind = stringOf(dictPath(request.get(), {"MessageType"}));
        if (kind == "ListDevices") {
            Plist r(plist_new_dict());
            plist_t list = plist_new_array();
            for (const MuxDevice& d : registry().present()) {
                plist_array_append_item(list, attached(d));
            }
            plist_dict_set_item(r.get(), "DeviceList", list);
            sendMessage(*client, r.get(), tag);
        } else if (kind == "Listen") {
            sendResult(*client, kOk, tag);
            registry().listen(client);
            listening = true;
        } else if (kind == "Connect") {
            MuxDevice device;
            const uint32_t id = static_cast<uint32_t>(intAt(request.get(), {"DeviceID"}, 0));
            const uint16_t port = ntohs(static_cast<uint16_t>(intAt(request.get(), {"PortNumber"}, 0)));
            PendingService service;
            if (!registry().byId(id, &device)) {
                sendResult(*client, kBadDevice, tag);
            } else if (port == kLockdownPort) {
                if (sendResult(*client, kOk, tag)) {
                    handedOver = true;
                    serveLockdown(fd, device);
                }
                break;
            } else if (takePendingService(id, port, &service)) {
                if (sendResult(*client, kOk, tag)) {
                    handedOver = true;
                    serveStartedService(fd, std::move(service));
                }
                break;
            } else {
                sendResult(*client, kConnRefused, tag);
            }
        } else if (kind == "ReadPairRecord") {
            const QString path = recordPath(stringOf(dictPath(request.get(), {"PairRecordID"})));
            QFile file(path);
            if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
                sendResult(*client, kBadDevice, tag);
            } else {
                const QByteArray data = file.readAll();
                Plist r(plist_new_dict());
                plist_dict_set_item(r.get(), "PairRecordData", plist_new_data(data.constData(), data.size()));
                sendMessage(*client, r.get(), tag);
            }
        } else if (kind == "SavePairRecord") {
            const QString path = recordPath(stringOf(dictPath(request.get(), {"PairRecordID"})));
            plist_t data = dictPath(request.get(), {"PairRecordData"});
            char* bytes = nullptr;
            uint64_t len = 0;
            if (data && plist_get_node_type(data) == PLIST_DATA) {
                plist_get_data_val(data, &bytes, &len);
            }
            Plist record = bytes ? parsePlist(bytes, static_cast<size_t>(len)) : nullptr;
            free(bytes);
            const bool saved = !path.isEmpty() && record && writePlistFile(path, record.get());
            sendResult(*client, saved ? kOk : kBadCommand, tag);
            const int64_t deviceId = intAt(request.get(), {"DeviceID"}, 0);
            if (saved && deviceId > 0 && deviceId <= UINT32_MAX) {
                registry().paired(static_cast<uint32_t>(deviceId), stringOf(dictPath(request.get(), {"PairRecordID"})));
            }
        } else if (kind == "DeletePairRecord") {
            const QString path = recordPath(stringOf(dictPath(request.get(), {"PairRecordID"})));
            sendResult(*client, !path.isEmpty() && QFile::remove(path) ? kOk : kBadDevice, tag);
        } else if (kind == "ReadBUID") {
            Plist r(plist_new_dict());
            plist_dict_set_item(r.get(), "BUID", plist_new_string(buid().c_str()));
            sendMessage(*client, r.get(), tag);
        } else {
            sendResult(*client, kBadCommand, tag);
        }
    }
    if (listening) {
        registry().forget(client);
    }
    if (!handedOver) {
        ::close(fd);
    }
}

#ifdef SIMUSBMUXD_PREFLIGHT
bool pairThroughLockdown(const MuxDevice& device) {
    idevice_t dev = nullptr;
    lockdownd_client_t client = nullptr;
    const QByteArray udid = device.udid.toUtf8();
    const bool paired = idevice_new_with_options(&dev, udid.constData(), IDEVICE_LOOKUP_USBMUX) == IDEVICE_E_SUCCESS &&
                        lockdownd_client_new(dev, &client, "usbmuxd") == LOCKDOWN_E_SUCCESS &&
                        lockdownd_pair(client, nullptr) == LOCKDOWN_E_SUCCESS;
    if (client) {
        lockdownd_client_free(client);
    }
    if (dev) {
        idevice_free(dev);
    }
    return paired;
}

// The trust dialog's answer, or empty while device.plist is being rewritten.
std::string trustAnswerOf(const MuxDevice& device) {
    Plist plist = readPlistFile(device.dir + QStringLiteral("/device.plist"));
    return plist ? trustAnswer(plist.get()) : std::string();
}

// StartSession with the HostID of the record held for the device.
lockdownd_error_t sessionWithRecord(const MuxDevice& device) {
    Plist record = readPlistFile(recordPath(device.udid.toStdString()));
    const std::string hostId = stringOf(dictPath(record.get(), {"HostID"}));
    idevice_t dev = nullptr;
    lockdownd_client_t client = nullptr;
    const QByteArray udid = device.udid.toUtf8();
    lockdownd_error_t result = LOCKDOWN_E_MUX_ERROR;
    if (idevice_new_with_options(&dev, udid.constData(), IDEVICE_LOOKUP_USBMUX) == IDEVICE_E_SUCCESS &&
        (result = lockdownd_client_new(dev, &client, "usbmuxd")) == LOCKDOWN_E_SUCCESS) {
        result = lockdownd_start_session(client, hostId.c_str(), nullptr, nullptr);
    }
    if (client) {
        lockdownd_client_free(client);
    }
    if (dev) {
        idevice_free(dev);
    }
    return result;
}

void preflight(const MuxDevice& device) {
    const QString record = recordPath(device.udid.toStdString());
    if (QFileInfo::exists(record)) {
        const lockdownd_error_t session = sessionWithRecord(device);
        if (session == LOCKDOWN_E_SSL_ERROR) {
            QFile::remove(record);
        } else if (session != LOCKDOWN_E_INVALID_HOST_ID) {
            return;
        }
    }
    std::string answer = trustAnswerOf(device);
    if (pairThroughLockdown(device)) {
        return;
    }
    while (device.present->load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const std::string now = trustAnswerOf(device);
        if (now.empty()) {
            continue;
        }
        if (now == "accepted" && answer != "accepted" && pairThroughLockdown(device)) {
            return;
        }
        answer = now;
    }
}
#endif

void pollDevices() {
    for (const MuxDevice& arrived : registry().poll()) {
#ifdef SIMUSBMUXD_PREFLIGHT
        std::thread(preflight, arrived).detach();
#else
        (void)arrived;
#endif
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString socketPath;
    pid_t owner = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--socket") == 0) {
            socketPath = QFile::decodeName(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--state") == 0) {
            g_stateDir = QFile::decodeName(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--owner") == 0) {
            owner = static_cast<pid_t>(std::atoll(argv[i + 1]));
        }
    }
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un addr{};
    if (path.isEmpty() || static_cast<size_t>(path.size()) >= sizeof addr.sun_path) {
        std::fprintf(stderr, "usage: simusbmuxd --socket PATH [--state DIR] [--owner PID]\n");
        return 2;
    }
    if (g_stateDir.isEmpty()) {
        g_stateDir = QFileInfo(socketPath).absolutePath() + QStringLiteral("/lockdown");
    }
    QDir().mkpath(g_stateDir);
    std::signal(SIGPIPE, SIG_IGN);
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
    ::unlink(path.constData());
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(server, 64) != 0) {
        std::perror("simusbmuxd");
        return 1;
    }
    // The preflight's own client library reaches this daemon, not the system's.
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + QFile::encodeName(QFileInfo(socketPath).absoluteFilePath()));
    pollDevices();
    std::thread([owner, path] {
        while (true) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) {
                ::unlink(path.constData());
                std::_Exit(0);
            }
            pollDevices();
        }
    }).detach();
    std::printf("listening\n");
    std::fflush(stdout);
    while (true) {
        const int fd = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            std::perror("simusbmuxd: accept");
            return 1;
        }
        std::thread(serveClient, fd).detach();
    }
}
