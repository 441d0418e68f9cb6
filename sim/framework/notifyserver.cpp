// The device side of the notification proxy: "ObserveNotification",
// "PostNotification" (relayed as "RelayNotification" to every connection of
// the same device that observes the name), "Shutdown" (answered with
// "ProxyDeath", then the connection ends). Posts from outside the program
// (`simdevice notify`) are taken from the device's spool every 200 ms while
// anything observes; the device's own posts (postDeviceNotification, e.g. the
// passcode prompt of mobilebackup2) are relayed at once.

#include "sim/framework/notifyspool.h"
#include "sim/framework/protoservers.h"

#include <QScopeGuard>
#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

namespace sim {

namespace {

constexpr auto kSpoolPoll = std::chrono::milliseconds(200);

struct Observer {
    ServiceConnection* conn;
    QString deviceDir;
    std::set<std::string> names;
};

// Never destroyed: service threads are detached and may outlive static destructors.
struct Hub {
    std::mutex mutex;
    std::vector<Observer*> observers;
    bool spoolWatcher = false;
};

Hub& hub() {
    static auto* h = new Hub;
    return *h;
}

void relay(const QString& deviceDir, const std::string& name) {
    Plist message(plist_new_dict());
    plist_dict_set_item(message.get(), "Command", plist_new_string("RelayNotification"));
    plist_dict_set_item(message.get(), "Name", plist_new_string(name.c_str()));
    std::lock_guard lock(hub().mutex);
    for (Observer* o : hub().observers) {
        if (o->deviceDir == deviceDir && o->names.count(name)) {
            o->conn->sendPlist(message.get());
        }
    }
}

// Runs while some connection observes something; a new one starts it again.
void watchSpools() {
    for (;;) {
        std::this_thread::sleep_for(kSpoolPoll);
        std::set<QString> dirs;
        {
            std::lock_guard lock(hub().mutex);
            for (Observer* o : hub().observers) {
                if (!o->names.empty()) {
                    dirs.insert(o->deviceDir);
                }
            }
            if (dirs.empty()) {
                hub().spoolWatcher = false;
                return;
            }
        }
        for (const QString& dir : dirs) {
            for (const QString& name : notifySpoolTake(dir)) {
                relay(dir, name.toStdString());
            }
        }
    }
}

} // namespace

void postDeviceNotification(const QString& deviceDir, const std::string& name) {
    relay(deviceDir, name);
}

void serveNotificationProxy(ServiceConnection& conn) {
    Observer self{&conn, conn.setup().deviceDir, {}};
    {
        std::lock_guard lock(hub().mutex);
        hub().observers.push_back(&self);
    }
    auto leave = qScopeGuard([&self] {
        std::lock_guard lock(hub().mutex);
        auto& list = hub().observers;
        list.erase(std::find(list.begin(), list.end(), &self));
    });
    while (conn.alive()) {
        Plist request = recvCapturedFrame(conn);
        if (!request || !conn.beforeReply()) {
            return;
        }
        const std::string command = stringOf(dictPath(request.get(), {"Command"}));
        const std::string name = stringOf(dictPath(request.get(), {"Name"}));
        if (command == "ObserveNotification" && !name.empty()) {
            std::lock_guard lock(hub().mutex);
            self.names.insert(name);
            if (!hub().spoolWatcher) {
                hub().spoolWatcher = true;
                std::thread(watchSpools).detach();
            }
        } else if (command == "PostNotification" && !name.empty()) {
            relay(self.deviceDir, name);
        } else if (command == "Shutdown") {
            Plist death(plist_new_dict());
            plist_dict_set_item(death.get(), "Command", plist_new_string("ProxyDeath"));
            conn.sendPlist(death.get());
            return;
        }
    }
}

} // namespace sim
