// libvexlar-imd.so: the device framework's C exports for real phones, on
// libimobiledevice and libusbmuxd (through the usbmuxd daemon, or whatever
// USBMUXD_SOCKET_ADDRESS names).
//
// Handles: one am_device per attached USB device, made when usbmuxd announces
// it; a device that leaves keeps its old handle alive (every call on it fails)
// and gets a new one when it comes back. Notifications are queued to the
// QCoreApplication's thread when there is one, else called from the library's
// event thread; devices already attached are announced to a new subscriber.
//
// Trust: a phone whose Pair came back "dialog pending" or "passcode protected"
// is awaited. Once it is paired it is announced again, as a replug would:
// removal of the old handle (which works on until the phone leaves), arrival
// of a new one, so that callers that gave up on it try again. Paired means
// usbmuxd's "Paired" (it pairs by itself when the user taps Trust), or the pair
// record turning up, looked for every few seconds without a session, when
// another tool paired it (the way out where usbmuxd's preflight gave up, as its
// tracker reports: "Preflight_worker doesn't retry after
// LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING"). A caller's own Pair settles it.
//
// Sessions: lockdown clients are not thread-safe and the framework interface
// has no session handle, so each thread keeps its own client per device:
//   AMDeviceConnect        plain lockdown client (QueryType)
//   AMDeviceIsPaired       a pair record with a HostID is in usbmuxd's store
//   AMDevicePair           Pair; the trust dialog's answers become result codes
//   AMDeviceValidatePairing  the record is there (the device checks it at StartSession)
//   AMDeviceStartSession   a client made with the handshake, which learns the iOS
//                          version (else TLS stays at 1.0) and starts the TLS
//                          session; a record whose host the device no longer
//                          knows is deleted so that the next attempt pairs again
//   AMDeviceStopSession / AMDeviceDisconnect  the client ends with the outermost
//                          disconnect of the thread
// Services: lockdown starts the service (with the escrow bag for
// mobilebackup2); the caller gets a socket of its own: the usbmuxd connection
// itself, or for a service the device runs over TLS one end of a socketpair
// whose other end a relay thread carries through TLS.

#include "device/mobiledevice_abi.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <map>
#include <memory>
#include <mutex>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <plist/plist.h>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <usbmuxd.h>
#include <vector>

#define IMD_EXPORT extern "C" __attribute__((visibility("default")))

struct am_device {
    std::string udid;
    std::atomic<bool> present{true};
};

namespace {

// Result codes: negative, in the framework's 0xe8000xxx range.
constexpr int code(unsigned int c) {
    return static_cast<int>(c);
}
constexpr int kErrUnknown = code(0xe8000001u);
constexpr int kErrInvalidArgument = code(0xe8000007u);
constexpr int kErrNotConnected = code(0xe8000015u);
constexpr int kErrSessionInactive = code(0xe800001du);
constexpr int kErrInvalidService = code(0xe8000022u);
constexpr int kErrInvalidPairRecord = code(0xe8000025u);
constexpr int kErrServiceFailed = code(0xe8000028u);
constexpr int kErrServiceProhibited = code(0xe8000087u);
constexpr int kErrPasswordProtected = kAMDPasswordProtectedError; // also escrow locked: both mean "unlock it"
constexpr int kErrUserDeniedPairing = code(0xe8000096u);
constexpr int kErrPairingDialogPending = code(0xe800009au);
constexpr int kErrSsl = code(0xe8000029u);

constexpr const char* kLabel = "spacevexlar";
constexpr unsigned int kRelayPollMs = 200;
constexpr auto kTrustPollInterval = std::chrono::seconds(3);

bool hasPairRecord(const std::string& udid);

int mapLockdown(lockdownd_error_t e) {
    switch (e) {
    case LOCKDOWN_E_SUCCESS:
        return 0;
    case LOCKDOWN_E_INVALID_ARG:
        return kErrInvalidArgument;
    case LOCKDOWN_E_MUX_ERROR:
    case LOCKDOWN_E_RECEIVE_TIMEOUT:
        return kErrNotConnected;
    case LOCKDOWN_E_PASSWORD_PROTECTED:
    case LOCKDOWN_E_ESCROW_LOCKED:
        return kErrPasswordProtected;
    case LOCKDOWN_E_USER_DENIED_PAIRING:
        return kErrUserDeniedPairing;
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
        return kErrPairingDialogPending;
    case LOCKDOWN_E_INVALID_HOST_ID:
    case LOCKDOWN_E_INVALID_PAIR_RECORD:
    case LOCKDOWN_E_MISSING_PAIR_RECORD:
    case LOCKDOWN_E_PAIRING_FAILED:
        return kErrInvalidPairRecord;
    case LOCKDOWN_E_SSL_ERROR:
        return kErrSsl;
    case LOCKDOWN_E_NO_RUNNING_SESSION:
    case LOCKDOWN_E_SESSION_INACTIVE:
        return kErrSessionInactive;
    case LOCKDOWN_E_INVALID_SERVICE:
    case LOCKDOWN_E_MISSING_SERVICE:
        return kErrInvalidService;
    case LOCKDOWN_E_SERVICE_PROHIBITED:
        return kErrServiceProhibited;
    default:
        return kErrUnknown;
    }
}

// Only a phone that no longer knows the host makes the record stale: after a
// TLS failure (a cable glitch) the record still serves, and other tools share it.
bool staleRecord(lockdownd_error_t e) {
    return e == LOCKDOWN_E_INVALID_HOST_ID;
}

struct Subscription {
    am_device_notification_callback callback = nullptr;
    void* context = nullptr;
};

struct Event {
    Subscription* sub;
    am_device* dev;
    unsigned int msg;
};

class Registry {
public:
    // Never destroyed: handles must outlive every caller.
    static Registry& instance() {
        static Registry* r = new Registry;
        return *r;
    }

    int subscribe(Subscription* sub) {
        // The library's own thread reports attached devices once it listens; those known
        // already are announced here. Subscribing outside the lock: its events take it.
        int result = 0;
        std::call_once(listenOnce, [&] {
            if (idevice_event_subscribe(&Registry::onEvent, this) != IDEVICE_E_SUCCESS) {
                result = kErrNotConnected;
            }
        });
        if (result != 0) {
            return result;
        }
        std::call_once(trustPollOnce, [this] { std::thread([this] { pollTrust(); }).detach(); });
        std::vector<Event> events;
        {
            std::lock_guard lock(mutex);
            subs.push_back(sub);
            for (const auto& [udid, dev] : devices) {
                events.push_back({sub, dev, ADNCI_MSG_CONNECTED});
            }
        }
        for (const Event& e : events) {
            deliver(e);
        }
        return 0;
    }

    // The phone's Pair is waiting for the user (true) or is settled either way (false).
    void setAwaitingTrust(am_device* dev, bool waiting) {
        std::lock_guard lock(mutex);
        if (waiting && dev->present) {
            awaitingTrust.insert(dev->udid);
        } else {
            awaitingTrust.erase(dev->udid);
        }
    }

private:
    static void onEvent(const idevice_event_t* event, void* user) {
        // USB only: a phone on the network is not one the user plugged in.
        if (!event || !event->udid || event->conn_type != CONNECTION_USBMUXD) {
            return;
        }
        static_cast<Registry*>(user)->handle(event->event, event->udid);
    }

    void handle(int kind, const std::string& udid) {
        if (kind == IDEVICE_DEVICE_PAIRED) {
            announceTrusted(udid);
            return;
        }
        std::vector<Event> events;
        {
            std::lock_guard lock(mutex);
            awaitingTrust.erase(udid);
            auto it = devices.find(udid);
            if (kind == IDEVICE_DEVICE_ADD && it == devices.end()) {
                auto* dev = new am_device;
                dev->udid = udid;
                devices[udid] = dev;
                for (Subscription* s : subs) {
                    events.push_back({s, dev, ADNCI_MSG_CONNECTED});
                }
            } else if (kind == IDEVICE_DEVICE_REMOVE && it != devices.end()) {
                am_device* dev = it->second; // kept: a stale handle must not dangle
                dev->present = false;
                for (am_device* earlier : retired) {
                    earlier->present = earlier->present && earlier->udid != udid;
                }
                devices.erase(it);
                retired.push_back(dev);
                for (Subscription* s : subs) {
                    events.push_back({s, dev, ADNCI_MSG_DISCONNECTED});
                }
            }
        }
        for (const Event& e : events) {
            deliver(e);
        }
    }

    // A phone still awaited is announced again under a new handle, the old one retired.
    void announceTrusted(const std::string& udid) {
        std::vector<Event> events;
        {
            std::lock_guard lock(mutex);
            auto it = devices.find(udid);
            if (!awaitingTrust.erase(udid) || it == devices.end()) {
                return;
            }
            // The old handle works on until the phone leaves: a caller may be trying it again right now.
            am_device* old = it->second;
            retired.push_back(old);
            auto* dev = new am_device;
            dev->udid = udid;
            it->second = dev;
            for (Subscription* s : subs) {
                events.push_back({s, old, ADNCI_MSG_DISCONNECTED});
                events.push_back({s, dev, ADNCI_MSG_CONNECTED});
            }
        }
        for (const Event& e : events) {
            deliver(e);
        }
    }

    // For a usbmuxd that sends no "Paired", or a phone paired by another tool.
    void pollTrust() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr); // a daemon that hangs up must not end the program
        while (true) {
            std::this_thread::sleep_for(kTrustPollInterval);
            std::vector<std::string> waiting;
            {
                std::lock_guard lock(mutex);
                waiting.assign(awaitingTrust.begin(), awaitingTrust.end());
            }
            for (const std::string& udid : waiting) {
                if (hasPairRecord(udid)) {
                    announceTrusted(udid);
                }
            }
        }
    }

    void deliver(const Event& e) {
        auto call = [e] {
            am_device_notification_callback_info info{e.dev, e.msg, e.sub};
            e.sub->callback(&info, e.sub->context);
        };
        std::lock_guard lock(deliverMutex);
        if (appGone) {
            return;
        }
        if (QCoreApplication* app = QCoreApplication::instance()) {
            std::call_once(postRoutineOnce, [] {
                qAddPostRoutine([] {
                    Registry& r = Registry::instance();
                    std::lock_guard lock(r.deliverMutex);
                    r.appGone = true;
                });
            });
            QMetaObject::invokeMethod(app, call, Qt::QueuedConnection);
        } else {
            call();
        }
    }

    std::mutex mutex;
    std::map<std::string, am_device*> devices;
    std::vector<am_device*> retired; // handles of devices that left, alive for their holders
    std::vector<Subscription*> subs;
    std::set<std::string> awaitingTrust; // udids of plugged-in phones whose Pair waits for the user
    std::once_flag listenOnce;
    std::once_flag trustPollOnce;
    std::mutex deliverMutex;
    std::once_flag postRoutineOnce;
    bool appGone = false; // guarded by deliverMutex
};

struct IdeviceFree {
    void operator()(idevice_private* d) const { idevice_free(d); }
};
using DevicePtr = std::shared_ptr<idevice_private>;

// One thread's lockdown connection to one device.
struct ThreadConn {
    DevicePtr device;
    lockdownd_client_t client = nullptr;
    int depth = 0;
    bool session = false;

    void close() {
        if (client) {
            lockdownd_client_free(client); // also ends a session still open
            client = nullptr;
        }
        device.reset();
        session = false;
        depth = 0;
    }
};

struct ThreadConns {
    std::map<am_device*, ThreadConn> conns;
    ~ThreadConns() {
        for (auto& [dev, conn] : conns) {
            conn.close();
        }
    }
};

thread_local ThreadConns t_conns;

// libimobiledevice writes with plain send(): a device that hangs up must not
// end the program with SIGPIPE. The signal is held in this thread during a
// call and one it raised is taken back before the mask is restored.
class PipeGuard {
public:
    PipeGuard() {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &old);
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeGuard() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    PipeGuard(const PipeGuard&) = delete;
    PipeGuard& operator=(const PipeGuard&) = delete;

private:
    sigset_t pipe;
    sigset_t old;
    bool wasPending = false;
};

ThreadConn* connOf(am_device* dev) {
    auto it = t_conns.conns.find(dev);
    return it == t_conns.conns.end() || it->second.depth <= 0 ? nullptr : &it->second;
}

// The session client of this thread, or null with the code that refuses the call.
lockdownd_client_t sessionClient(am_device* dev, int* error) {
    if (!dev || !dev->present) {
        *error = dev ? kErrNotConnected : kErrInvalidArgument;
        return nullptr;
    }
    ThreadConn* conn = connOf(dev);
    if (!conn || !conn->session || !conn->client) {
        *error = kErrSessionInactive;
        return nullptr;
    }
    *error = 0;
    return conn->client;
}

bool hasPairRecord(const std::string& udid) {
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) != 0 || !data) {
        return false;
    }
    plist_t record = nullptr;
    plist_from_memory(data, size, &record);
    free(data);
    const bool ok = record && plist_get_node_type(record) == PLIST_DICT && plist_dict_get_item(record, "HostID");
    plist_free(record);
    return ok;
}

// libusbmuxd hands out non-blocking sockets; the program's loops and the TLS
// handshake expect a plain blocking one, kept from child processes.
void makeOwnSocket(int fd) {
    const int fdFlags = ::fcntl(fd, F_GETFD);
    if (fdFlags >= 0) {
        ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
}

struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

std::string recordData(plist_t record, const char* key) {
    plist_t node = plist_dict_get_item(record, key);
    if (!node || plist_get_node_type(node) != PLIST_DATA) {
        return std::string();
    }
    char* bytes = nullptr;
    uint64_t len = 0;
    plist_get_data_val(node, &bytes, &len);
    std::string out(bytes ? bytes : "", bytes ? static_cast<size_t>(len) : 0);
    free(bytes);
    return out;
}

// A data item of usbmuxd's pair record for the device; empty when missing.
std::string pairRecordData(const std::string& udid, const char* key) {
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) != 0 || !data) {
        return std::string();
    }
    plist_t record = nullptr;
    plist_from_memory(data, size, &record);
    free(data);
    const std::string value =
        record && plist_get_node_type(record) == PLIST_DICT ? recordData(record, key) : std::string();
    plist_free(record);
    return value;
}

// The host's side of a service's TLS: the pair record's root certificate and
// key, as the device expects from the host it paired with.
SslCtxPtr hostTlsContext(const std::string& udid) {
    const std::string certPem = pairRecordData(udid, "RootCertificate");
    const std::string keyPem = pairRecordData(udid, "RootPrivateKey");
    if (certPem.empty() || keyPem.empty()) {
        return nullptr;
    }
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    BIO* certBio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
    BIO* keyBio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
    X509* cert = certBio ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    bool ok = ctx && cert && key;
    if (ok) {
        // Pairing certificates are self-made and older phones sign with weak digests.
        SSL_CTX_set_security_level(ctx.get(), 0);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
        ok = SSL_CTX_use_certificate(ctx.get(), cert) == 1 && SSL_CTX_use_PrivateKey(ctx.get(), key) == 1;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    return ok ? std::move(ctx) : nullptr;
}

// Carries a TLS service connection to a plain socket until either side ends.
// One thread does both directions: a TLS connection must not be read and
// written from two threads at once.
void relay(SSL* ssl, int tlsFd, int plainFd) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr); // this thread's own: a pending one is never delivered
    std::vector<char> buf(64 * 1024);
    bool open = true;
    while (open) {
        pollfd pfds[2] = {{tlsFd, POLLIN, 0}, {plainFd, POLLIN, 0}};
        const bool buffered = SSL_pending(ssl) > 0;
        if (!buffered && ::poll(pfds, 2, kRelayPollMs) < 0 && errno != EINTR) {
            break;
        }
        if (buffered || (pfds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const int n = SSL_read(ssl, buf.data(), static_cast<int>(buf.size()));
            open = n > 0;
            for (int done = 0; open && done < n;) {
                const ssize_t w = ::send(plainFd, buf.data() + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
                open = w > 0;
                done += open ? static_cast<int>(w) : 0;
            }
        }
        if (open && (pfds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::recv(plainFd, buf.data(), buf.size(), 0);
            open = n > 0 && SSL_write(ssl, buf.data(), static_cast<int>(n)) == n;
        }
    }
    SSL_free(ssl);
    ::close(tlsFd);
    ::close(plainFd);
}

int startService(am_device* dev, const std::string& name, unsigned int* socketOut) {
    int error = 0;
    lockdownd_client_t client = sessionClient(dev, &error);
    if (!client) {
        return error;
    }
    lockdownd_service_descriptor_t service = nullptr;
    // The backup service of a locked device opens only to a host with the escrow bag. A record
    // without one (the bag comes with pairing) is dropped, so that the next session pairs again.
    if (name == "com.apple.mobilebackup2" && pairRecordData(dev->udid, "EscrowBag").empty()) {
        usbmuxd_delete_pair_record(dev->udid.c_str());
        return kAMDMissingEscrowBagError;
    }
    const lockdownd_error_t le = name == "com.apple.mobilebackup2"
                                     ? lockdownd_start_service_with_escrow_bag(client, name.c_str(), &service)
                                     : lockdownd_start_service(client, name.c_str(), &service);
    if (le != LOCKDOWN_E_SUCCESS || !service) {
        lockdownd_service_descriptor_free(service);
        return le == LOCKDOWN_E_SUCCESS ? kErrServiceFailed : mapLockdown(le);
    }
    const uint16_t port = service->port;
    const bool ssl = service->ssl_enabled != 0;
    lockdownd_service_descriptor_free(service);

    if (!ssl) {
        usbmuxd_device_info_t info{};
        if (usbmuxd_get_device_by_udid(dev->udid.c_str(), &info) <= 0) {
            return kErrNotConnected;
        }
        const int fd = usbmuxd_connect(info.handle, port);
        if (fd < 0) {
            return kErrServiceFailed;
        }
        makeOwnSocket(fd);
        *socketOut = static_cast<unsigned int>(fd);
        return 0;
    }
    SslCtxPtr ctx = hostTlsContext(dev->udid);
    if (!ctx) {
        return kErrInvalidPairRecord;
    }
    usbmuxd_device_info_t info{};
    if (usbmuxd_get_device_by_udid(dev->udid.c_str(), &info) <= 0) {
        return kErrNotConnected;
    }
    const int tlsFd = usbmuxd_connect(info.handle, port);
    if (tlsFd < 0) {
        return kErrServiceFailed;
    }
    makeOwnSocket(tlsFd);
    SSL* tls = SSL_new(ctx.get());
    if (!tls || SSL_set_fd(tls, tlsFd) != 1 || SSL_connect(tls) != 1) {
        SSL_free(tls);
        ::close(tlsFd);
        ERR_clear_error();
        return kErrSsl;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        SSL_free(tls);
        ::close(tlsFd);
        return kErrServiceFailed;
    }
    std::thread(relay, tls, tlsFd, fds[1]).detach();
    *socketOut = static_cast<unsigned int>(fds[0]);
    return 0;
}

std::string stringArg(void* node) {
    auto* p = static_cast<plist_t>(node);
    if (!p || plist_get_node_type(p) != PLIST_STRING) {
        return std::string();
    }
    // plist_get_string_val asserts on a string with a NUL inside; take every byte instead.
    uint64_t length = 0;
    const char* s = plist_get_string_ptr(p, &length);
    return s ? std::string(s, length) : std::string();
}

} // namespace

IMD_EXPORT int AMDeviceNotificationSubscribe(am_device_notification_callback callback, unsigned int, unsigned int,
                                             void* context, void** subscription) {
    if (!callback) {
        return kErrInvalidArgument;
    }
    auto* sub = new Subscription; // lives as long as the program: nothing unsubscribes
    sub->callback = callback;
    sub->context = context;
    if (subscription) {
        *subscription = sub;
    }
    return Registry::instance().subscribe(sub);
}

IMD_EXPORT void* AMDeviceCopyDeviceIdentifier(am_device* device) {
    return device ? plist_new_string(device->udid.c_str()) : nullptr;
}

IMD_EXPORT int AMDeviceConnect(am_device* device) {
    PipeGuard guard;
    if (!device) {
        return kErrInvalidArgument;
    }
    if (!device->present) {
        return kErrNotConnected;
    }
    ThreadConn& conn = t_conns.conns[device];
    if (conn.depth > 0) {
        ++conn.depth;
        return 0;
    }
    idevice_t raw = nullptr;
    if (idevice_new_with_options(&raw, device->udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS || !raw) {
        return kErrNotConnected;
    }
    conn.device = DevicePtr(raw, IdeviceFree());
    const lockdownd_error_t e = lockdownd_client_new(raw, &conn.client, kLabel);
    if (e != LOCKDOWN_E_SUCCESS) {
        conn.close();
        return mapLockdown(e) == kErrUnknown ? kErrNotConnected : mapLockdown(e);
    }
    conn.depth = 1;
    return 0;
}

IMD_EXPORT int AMDeviceIsPaired(am_device* device) {
    PipeGuard guard;
    return device && device->present && hasPairRecord(device->udid) ? 1 : 0;
}

IMD_EXPORT int AMDevicePair(am_device* device) {
    PipeGuard guard;
    if (!device) {
        return kErrInvalidArgument;
    }
    ThreadConn* conn = connOf(device);
    if (!device->present || !conn || !conn->client) {
        return kErrNotConnected;
    }
    // Settled before the pairing: its own "Paired" must not announce the phone again.
    Registry& registry = Registry::instance();
    registry.setAwaitingTrust(device, false);
    const int result = mapLockdown(lockdownd_pair(conn->client, nullptr));
    registry.setAwaitingTrust(device, result == kErrPairingDialogPending || result == kErrPasswordProtected);
    return result;
}

IMD_EXPORT int AMDeviceValidatePairing(am_device* device) {
    PipeGuard guard;
    if (!device) {
        return kErrInvalidArgument;
    }
    if (!device->present || !connOf(device)) {
        return kErrNotConnected;
    }
    return hasPairRecord(device->udid) ? 0 : kErrInvalidPairRecord;
}

IMD_EXPORT int AMDeviceStartSession(am_device* device) {
    PipeGuard guard;
    if (!device) {
        return kErrInvalidArgument;
    }
    ThreadConn* conn = connOf(device);
    if (!device->present || !conn) {
        return kErrNotConnected;
    }
    if (conn->session) {
        return 0; // nested on this thread: the outer session serves
    }
    lockdownd_client_t client = nullptr;
    const lockdownd_error_t e = lockdownd_client_new_with_handshake(conn->device.get(), &client, kLabel);
    if (e != LOCKDOWN_E_SUCCESS) {
        if (staleRecord(e)) {
            usbmuxd_delete_pair_record(device->udid.c_str());
        }
        return mapLockdown(e);
    }
    lockdownd_client_free(conn->client);
    conn->client = client;
    conn->session = true;
    Registry::instance().setAwaitingTrust(device, false); // paired by someone else meanwhile
    return 0;
}

IMD_EXPORT int AMDeviceStopSession(am_device* device) {
    if (!device) {
        return kErrInvalidArgument;
    }
    ThreadConn* conn = connOf(device);
    return conn && conn->session ? 0 : kErrSessionInactive;
}

IMD_EXPORT int AMDeviceDisconnect(am_device* device) {
    PipeGuard guard;
    if (!device) {
        return kErrInvalidArgument;
    }
    if (ThreadConn* conn = connOf(device)) {
        if (--conn->depth <= 0) {
            conn->close();
            t_conns.conns.erase(device);
        }
    }
    return 0;
}

IMD_EXPORT void* AMDeviceCopyValue(am_device* device, void* domain, void* key) {
    PipeGuard guard;
    int error = 0;
    lockdownd_client_t client = sessionClient(device, &error);
    if (!client) {
        return nullptr;
    }
    const std::string d = stringArg(domain);
    const std::string k = stringArg(key);
    plist_t value = nullptr;
    if (lockdownd_get_value(client, d.empty() ? nullptr : d.c_str(), k.empty() ? nullptr : k.c_str(), &value) !=
        LOCKDOWN_E_SUCCESS) {
        plist_free(value);
        return nullptr;
    }
    return value;
}

IMD_EXPORT int AMDeviceSetValue(am_device* device, void* domain, void* key, void* value) {
    PipeGuard guard;
    int error = 0;
    lockdownd_client_t client = sessionClient(device, &error);
    if (!client) {
        return error;
    }
    if (!value) {
        return kErrInvalidArgument;
    }
    const std::string d = stringArg(domain);
    const std::string k = stringArg(key);
    // The library takes the value over; the caller keeps its own.
    return mapLockdown(lockdownd_set_value(client, d.empty() ? nullptr : d.c_str(), k.empty() ? nullptr : k.c_str(),
                                           plist_copy(static_cast<plist_t>(value))));
}

IMD_EXPORT int AMDeviceStartService(am_device* device, void* serviceName, unsigned int* socketOut, void*) {
    PipeGuard guard;
    const std::string name = stringArg(serviceName);
    if (!device || name.empty() || !socketOut) {
        return kErrInvalidArgument;
    }
    return startService(device, name, socketOut);
}
