// libsimdevice.so: the device framework's C exports, serving simulated devices.
//
// Store: $VEXLAR_SIM_ROOT/<udid>/ per device (the folder name is the device's
// identifier), read afresh at every call:
//   device.plist  Lockdown: { <domain or ""> : { key : value } }
//                 Sim: { Connected, Paired, TrustAccepted, BackupPassword,
//                        TraceAfc, Faults }
//   apps.plist    array of app dictionaries (CFBundleIdentifier, CFBundleName,
//                 ApplicationType "User"/"System"; a missing type is "User")
//   files/<Domain>/...   the device's data by backup domain
//   device.lock   advisory lock for rewrites of device.plist (shared with the
//                 simdevice tool)
//
// A watcher thread polls the store every 250 ms. A device is present while its
// folder holds a device.plist and Sim.Connected is not false. Each present
// device has one am_device handle; a device that leaves keeps its old handle
// alive (every call on it fails) and gets a new one when it comes back (a new
// Sim.Unplugs count tells a quick replug between two polls).
// Notifications are queued to the QCoreApplication's thread when there is one,
// otherwise they are called from the watcher thread. Devices present when a
// subscription starts are announced to it too.
//
// Sessions: AMDeviceConnect, then a pairing (AMDevicePair succeeds when
// Sim.TrustAccepted is not false and records Sim.Paired = true), then
// AMDeviceStartSession. Values, writes and services need a session.
// com.apple.disk_usage/AmountDataAvailable is computed: TotalDataCapacity minus
// the bytes under files/ minus a system share of 9 GB (at most a quarter of the
// capacity), never below 0.
//
// Services (AMDeviceStartService returns one end of a socketpair):
//   com.apple.mobile.installation_proxy  Browse / Lookup over apps.plist
//   com.apple.afc                        AFC rooted at files/MediaDomain/Media
//   com.apple.mobile.house_arrest        VendContainer / VendDocuments, then AFC
//                                        rooted at files/AppDomain-<id>
//   com.apple.mobile.notification_proxy  ObserveNotification, PostNotification
//                                        (relayed to the device's observers),
//                                        Shutdown -> ProxyDeath
//                                        (simdevice notify posts from outside)
//   com.apple.springboardservices        getIconPNGData (simservices.cpp)
//   com.apple.mobilebackup2, com.apple.mobilesync, com.apple.mobile.file_relay
//                                        see devicelinkserver.cpp and
//                                        filerelayserver.cpp
// Replies to framed plist requests use the format of the request.
// Sim.Link { RoundTripUs, BytesPerSecond } puts a USB-like cable between the
// program and every service (simlink.h); read when a service starts.
//
// Sim.Faults, read at each call (all optional):
//   AMDeviceConnect, AMDevicePair, AMDeviceValidatePairing,
//   AMDeviceStartSession : integer result code (positive codes are negated)
//   StartService          : { <service name> : code }
//   VendContainerFail     : [bundle ids] -> { Error: InstallationLookupFailed }
//                           (so does every app when Sim.VendContainer is false,
//                           unless the app's SimVendContainer in apps.plist is
//                           true; an app's SimVendContainer false refuses it)
//   DropAfterBytes        : the service stops sending after n bytes and shuts
//                           its write side (the program reads end-of-stream;
//                           what it sends afterwards is drained, never refused)
//   ReplyDelayMs          : sleep before every service reply
//   CopyValueFail         : [keys] AMDeviceCopyValue returns null for
//   AfcListExtra          : { folder path : [names] } AFC lists these names in
//                           that folder too (a missing name answers "object not
//                           found" to file info, as a file that just vanished)
//   AfcDotDot             : true -> AFC resolves ".." (never above its root)
//                           instead of refusing it, as a lax device might
//   AfcRemoveRefused      : [paths] AFC refuses to remove these
// The service faults are read when a service starts.
//
// AFC trace: with Sim.TraceAfc true, every AFC read request and write chunk is
// appended to <udid>/afc-trace.log as "READ <handle> <bytes requested>" or
// "WRITE <handle> <bytes>", one line each, so tests can check block sizes.

#include "device/mobiledevice_abi.h"
#include "sim/framework/simlink.h"
#include "sim/framework/simservices.h"
#include "sim/framework/simstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

struct am_device {
    QString udid;
    QString dir;
    std::shared_ptr<std::atomic<bool>> present = std::make_shared<std::atomic<bool>>(true);
    std::atomic<int> connects{0};
    std::atomic<int> sessions{0};
    int64_t unplugs = 0;     // Sim.Unplugs when it was seen coming
    int unreadablePolls = 0; // the watcher's own count
};

namespace sim {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);

struct Subscription {
    am_device_notification_callback callback = nullptr;
    void* context = nullptr;
    std::set<am_device*> announced;
};

struct Event {
    Subscription* sub;
    am_device* dev;
    unsigned int msg;
};

class Registry;

struct WatcherStopper {
    Registry* registry;
    ~WatcherStopper();
};

class Registry {
public:
    // Never destroyed: handles and subscriptions must outlive every caller,
    // also the program's own static destructors. Only the watcher thread is
    // stopped at exit.
    static Registry& instance() {
        static Registry* r = new Registry;
        static WatcherStopper stopper{r};
        return *r;
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        cv.notify_all();
        if (watcher.joinable()) {
            if (watcher.get_id() == std::this_thread::get_id()) {
                watcher.detach(); // the process is exiting from inside a callback
            } else {
                watcher.join();
            }
        }
    }

    void subscribe(Subscription* sub) {
        if (QCoreApplication::instance()) {
            watchApplication();
        }
        {
            std::lock_guard lock(mutex);
            subs.push_back(sub);
            wake = true;
            if (!watcher.joinable()) {
                watcher = std::thread([this] { watch(); });
            }
        }
        cv.notify_all();
    }

private:
    void watch() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            lock.unlock();
            poll();
            lock.lock();
            cv.wait_for(lock, kPollInterval, [this] { return stopping || wake; });
            wake = false;
        }
    }

    void poll() {
        // Which devices are plugged in, read outside the lock.
        struct Plugged {
            QString dir;
            int64_t unplugs;
        };
        std::map<QString, Plugged> plugged; // by udid
        std::set<QString> unreadable;       // device.plist there but not parsed (a writer outside our lock)
        const QString root = simRoot();
        if (!root.isEmpty()) {
            const QDir dir(root);
            const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
            for (const QString& name : names) {
                const QString folder = dir.absoluteFilePath(name);
                Plist device = readPlistFile(folder + QStringLiteral("/device.plist"));
                if (device && boolAt(device.get(), {"Sim", "Connected"}, true)) {
                    plugged[name] = {folder, unplugCount(device.get())};
                } else if (!device && QFileInfo::exists(folder + QStringLiteral("/device.plist"))) {
                    unreadable.insert(name);
                }
            }
        }

        std::vector<Event> events;
        {
            std::lock_guard lock(mutex);
            for (auto it = devices.begin(); it != devices.end();) {
                auto found = plugged.find(it->first);
                if (found != plugged.end()) {
                    it->second->unreadablePolls = 0;
                }
                // One unreadable read is not an unplug: give a writer a poll to finish.
                if (found == plugged.end() && unreadable.count(it->first) && ++it->second->unreadablePolls < 2) {
                    ++it;
                    continue;
                }
                if (found == plugged.end() || found->second.dir != it->second->dir ||
                    found->second.unplugs != it->second->unplugs) {
                    it->second->present->store(false);
                    graveyard.push_back(it->second); // never freed: a stale handle must not dangle
                    it = devices.erase(it);
                } else {
                    ++it;
                }
            }
            for (const auto& [udid, seen] : plugged) {
                if (!devices.count(udid)) {
                    auto* dev = new am_device;
                    dev->udid = udid;
                    dev->dir = seen.dir;
                    dev->unplugs = seen.unplugs;
                    devices[udid] = dev;
                }
            }
            std::set<am_device*> current;
            for (const auto& [udid, dev] : devices) {
                current.insert(dev);
            }
            // Every subscriber hears of every departure before any arrival, as from the real framework: a
            // quick replug must not interleave one subscriber's arrival with another's departure.
            for (Subscription* sub : subs) {
                for (auto it = sub->announced.begin(); it != sub->announced.end();) {
                    if (!current.count(*it)) {
                        events.push_back({sub, *it, ADNCI_MSG_DISCONNECTED});
                        it = sub->announced.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            for (Subscription* sub : subs) {
                for (am_device* dev : current) {
                    if (sub->announced.insert(dev).second) {
                        events.push_back({sub, dev, ADNCI_MSG_CONNECTED});
                    }
                }
            }
        }
        for (const Event& e : events) {
            deliver(e);
        }
    }

    void watchApplication() {
        std::call_once(postRoutineOnce, [] {
            qAddPostRoutine([] {
                Registry& r = Registry::instance();
                std::lock_guard lock(r.deliverMutex);
                r.appGone = true;
            });
        });
    }

    // Posting happens under deliverMutex so that the application object
    // cannot be destroyed between the check and the post.
    void deliver(const Event& e) {
        auto call = [e] {
            am_device_notification_callback_info info{e.dev, e.msg, e.sub};
            e.sub->callback(&info, e.sub->context);
        };
        std::lock_guard lock(deliverMutex);
        if (appGone) {
            return; // after the application object is gone nobody is left to notify
        }
        if (QCoreApplication* app = QCoreApplication::instance()) {
            watchApplication();
            QMetaObject::invokeMethod(app, call, Qt::QueuedConnection);
        } else {
            call();
        }
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::map<QString, am_device*> devices;
    std::vector<am_device*> graveyard;
    std::vector<Subscription*> subs;
    std::thread watcher;
    std::once_flag postRoutineOnce;
    std::mutex deliverMutex;
    bool stopping = false;
    bool wake = false;
    bool appGone = false; // guarded by deliverMutex
};

WatcherStopper::~WatcherStopper() {
    registry->stop();
}

// The device's current record, or the result code that refuses the call.
struct Live {
    int error = 0;
    Plist plist;
};

Live live(am_device* dev) {
    Live l;
    if (!dev) {
        l.error = kErrInvalidArgument;
        return l;
    }
    if (!dev->present->load()) {
        l.error = kErrNotConnected;
        return l;
    }
    l.plist = readPlistFile(dev->dir + QStringLiteral("/device.plist"));
    if (!l.plist || plist_get_node_type(l.plist.get()) != PLIST_DICT ||
        !boolAt(l.plist.get(), {"Sim", "Connected"}, true)) {
        l.plist.reset();
        l.error = kErrNotConnected;
    }
    return l;
}

int fault(const Live& l, const char* name) {
    return faultCode(dictPath(l.plist.get(), {"Sim", "Faults", name}));
}

plist_t ensureDict(plist_t parent, const char* key) {
    plist_t node = plist_dict_get_item(parent, key);
    if (!node || plist_get_node_type(node) != PLIST_DICT) {
        node = plist_new_dict();
        plist_dict_set_item(parent, key, node);
    }
    return node;
}

// Read-modify-write of device.plist under the device lock.
template <typename Edit>
int rewriteDevice(am_device* dev, Edit edit) {
    DeviceLock lock(dev->dir);
    const QString path = dev->dir + QStringLiteral("/device.plist");
    Plist plist = readPlistFile(path);
    if (!plist || plist_get_node_type(plist.get()) != PLIST_DICT) {
        return kErrNotConnected;
    }
    edit(plist.get());
    return writePlistFile(path, plist.get()) ? 0 : kErrStoreWrite;
}

int64_t amountAvailable(am_device* dev, plist_t device) {
    const int64_t total = intAt(device, {"Lockdown", "com.apple.disk_usage", "TotalDataCapacity"}, 0);
    const int64_t used = bytesUnder(dev->dir + QStringLiteral("/files"));
    return std::max<int64_t>(0, total - used - std::min(kSystemShareBytes, total / 4));
}

bool isKnownService(const std::string& name) {
    return name == "com.apple.afc" || name == "com.apple.mobile.house_arrest" ||
           name == "com.apple.mobile.installation_proxy" || name == "com.apple.mobile.notification_proxy" ||
           name == "com.apple.mobilebackup2" || name == "com.apple.mobilesync" ||
           name == "com.apple.mobile.file_relay" || name == "com.apple.springboardservices";
}

std::string argString(void* node) {
    return node ? stringOf(static_cast<plist_t>(node)) : std::string();
}

} // namespace
} // namespace sim

using namespace sim;

SIM_EXPORT int AMDeviceNotificationSubscribe(am_device_notification_callback callback, unsigned int, unsigned int,
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
    Registry::instance().subscribe(sub);
    return 0;
}

SIM_EXPORT void* AMDeviceCopyDeviceIdentifier(am_device* device) {
    if (!device) {
        return nullptr;
    }
    return plist_new_string(device->udid.toUtf8().constData());
}

SIM_EXPORT int AMDeviceConnect(am_device* device) {
    Live l = live(device);
    if (l.error) {
        return l.error;
    }
    if (int f = fault(l, "AMDeviceConnect")) {
        return f;
    }
    ++device->connects;
    return 0;
}

SIM_EXPORT int AMDeviceIsPaired(am_device* device) {
    Live l = live(device);
    return !l.error && boolAt(l.plist.get(), {"Sim", "Paired"}, false) ? 1 : 0;
}

SIM_EXPORT int AMDevicePair(am_device* device) {
    Live l = live(device);
    if (l.error) {
        return l.error;
    }
    if (device->connects.load() <= 0) {
        return kErrNotConnected;
    }
    if (int f = fault(l, "AMDevicePair")) {
        return f;
    }
    if (!boolAt(l.plist.get(), {"Sim", "TrustAccepted"}, true)) {
        return kErrUserDeniedPairing;
    }
    return rewriteDevice(
        device, [](plist_t root) { plist_dict_set_item(ensureDict(root, "Sim"), "Paired", plist_new_bool(1)); });
}

SIM_EXPORT int AMDeviceValidatePairing(am_device* device) {
    Live l = live(device);
    if (l.error) {
        return l.error;
    }
    if (device->connects.load() <= 0) {
        return kErrNotConnected;
    }
    if (int f = fault(l, "AMDeviceValidatePairing")) {
        return f;
    }
    return boolAt(l.plist.get(), {"Sim", "Paired"}, false) ? 0 : kErrInvalidPairRecord;
}

SIM_EXPORT int AMDeviceStartSession(am_device* device) {
    Live l = live(device);
    if (l.error) {
        return l.error;
    }
    if (device->connects.load() <= 0) {
        return kErrNotConnected;
    }
    if (int f = fault(l, "AMDeviceStartSession")) {
        return f;
    }
    if (!boolAt(l.plist.get(), {"Sim", "Paired"}, false)) {
        return kErrInvalidPairRecord;
    }
    ++device->sessions;
    return 0;
}

// Sessions and connections are counted: the program runs session operations
// from several threads at once, and one thread's stop must not end another's.
SIM_EXPORT int AMDeviceStopSession(am_device* device) {
    if (!device) {
        return kErrInvalidArgument;
    }
    int n = device->sessions.load();
    while (n > 0 && !device->sessions.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0 ? 0 : kErrSessionInactive;
}

SIM_EXPORT int AMDeviceDisconnect(am_device* device) {
    if (!device) {
        return kErrInvalidArgument;
    }
    int n = device->connects.load();
    while (n > 0 && !device->connects.compare_exchange_weak(n, n - 1)) {
    }
    return 0;
}

SIM_EXPORT void* AMDeviceCopyValue(am_device* device, void* domain, void* key) {
    Live l = live(device);
    if (l.error || device->sessions.load() <= 0) {
        return nullptr;
    }
    const std::string domainName = argString(domain);
    const std::string keyName = argString(key);
    plist_t failing = dictPath(l.plist.get(), {"Sim", "Faults", "CopyValueFail"});
    plist_t dict = dictPath(l.plist.get(), {"Lockdown", domainName.c_str()});
    const bool diskUsage = domainName == "com.apple.disk_usage";
    if (keyName.empty()) { // no key, or an empty one: the whole domain
        if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
            return nullptr;
        }
        plist_t copy = plist_copy(dict);
        if (diskUsage) {
            plist_dict_set_item(copy, "AmountDataAvailable",
                                plist_new_uint(static_cast<uint64_t>(amountAvailable(device, l.plist.get()))));
        }
        if (failing && plist_get_node_type(failing) == PLIST_ARRAY) {
            for (uint32_t i = 0; i < plist_array_get_size(failing); ++i) {
                const std::string k = stringOf(plist_array_get_item(failing, i));
                if (!k.empty() && plist_dict_get_item(copy, k.c_str())) {
                    plist_dict_remove_item(copy, k.c_str());
                }
            }
        }
        return copy;
    }
    if (arrayHasString(failing, keyName)) {
        return nullptr;
    }
    if (diskUsage && keyName == "AmountDataAvailable") {
        return plist_new_uint(static_cast<uint64_t>(amountAvailable(device, l.plist.get())));
    }
    plist_t value = dictPath(dict, {keyName.c_str()});
    return value ? plist_copy(value) : nullptr;
}

SIM_EXPORT int AMDeviceSetValue(am_device* device, void* domain, void* key, void* value) {
    Live l = live(device);
    if (l.error) {
        return l.error;
    }
    if (device->sessions.load() <= 0) {
        return kErrSessionInactive;
    }
    const std::string domainName = argString(domain);
    const std::string keyName = argString(key);
    auto* v = static_cast<plist_t>(value);
    if (!v || (keyName.empty() && plist_get_node_type(v) != PLIST_DICT)) {
        return kErrInvalidArgument;
    }
    return rewriteDevice(device, [&](plist_t root) {
        plist_t lockdown = ensureDict(root, "Lockdown");
        if (keyName.empty()) {
            plist_dict_set_item(lockdown, domainName.c_str(), plist_copy(v)); // the whole domain
        } else {
            plist_dict_set_item(ensureDict(lockdown, domainName.c_str()), keyName.c_str(), plist_copy(v));
        }
    });
}

SIM_EXPORT int AMDeviceStartService(am_device* device, void* serviceName, unsigned int* socketOut, void*) {
    Live l = live(device);
    if (l.error) {
        return l.error;
    }
    if (device->sessions.load() <= 0) {
        return kErrSessionInactive;
    }
    const std::string name = argString(serviceName);
    if (name.empty() || !socketOut) {
        return kErrInvalidArgument;
    }
    if (int f = faultCode(dictPath(l.plist.get(), {"Sim", "Faults", "StartService", name.c_str()}))) {
        return f;
    }
    if (!isKnownService(name)) {
        return kErrInvalidService;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return kErrServiceFailed;
    }
    ServiceSetup setup;
    setup.deviceDir = device->dir;
    setup.present = device->present;
    setup.dropAfterBytes = intAt(l.plist.get(), {"Sim", "Faults", "DropAfterBytes"}, -1);
    setup.replyDelayMs =
        static_cast<int>(std::clamp<int64_t>(intAt(l.plist.get(), {"Sim", "Faults", "ReplyDelayMs"}, 0), 0, 600000));
    setup.traceAfc = boolAt(l.plist.get(), {"Sim", "TraceAfc"}, false);
    if (plist_t vf = dictPath(l.plist.get(), {"Sim", "Faults", "VendContainerFail"})) {
        setup.vendFail.reset(plist_copy(vf));
    }
    if (plist_t extra = dictPath(l.plist.get(), {"Sim", "Faults", "AfcListExtra"})) {
        setup.afcListExtra.reset(plist_copy(extra));
    }
    setup.afcDotDot = boolAt(l.plist.get(), {"Sim", "Faults", "AfcDotDot"}, false);
    if (plist_t refused = dictPath(l.plist.get(), {"Sim", "Faults", "AfcRemoveRefused"})) {
        setup.afcRemoveRefused.reset(plist_copy(refused));
    }
    const LinkSettings link = LinkSettings::fromDevice(l.plist.get());
    if (link.on()) {
        fds[0] = relayOverLink(fds[0], link);
        if (fds[0] < 0) {
            ::close(fds[1]);
            return kErrServiceFailed;
        }
    }
    *socketOut = static_cast<unsigned int>(fds[0]);
    serveInBackground(fds[1], name, std::move(setup));
    return 0;
}
