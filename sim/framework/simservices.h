#pragma once

// The device side of the service sockets: installation_proxy, house_arrest and
// AFC, each served by its own thread on one end of a socketpair.

#include "sim/framework/simstore.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

// What a service thread needs, copied at service start.
struct ServiceSetup {
    QString deviceDir;
    std::shared_ptr<std::atomic<bool>> present; // false once the device is unplugged
    int64_t dropAfterBytes = -1;                // < 0: never drop
    int replyDelayMs = 0;
    bool traceAfc = false;
    Plist vendFail; // array of bundle ids whose container cannot be vended
    // AFC faults of a hostile or busy device:
    Plist afcListExtra;     // { folder path as sent : [names] } added to that folder's listing
    bool afcDotDot = false; // ".." climbs a folder (never above the root) instead of being refused
    Plist afcRemoveRefused; // [paths as sent] whose removal is refused
};

// One served socket: counts what it sends so a fault can cut the stream.
class ServiceConnection {
public:
    ServiceConnection(int fd, ServiceSetup setup);
    ~ServiceConnection();
    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    // Receiving belongs to the serving thread; sending may also come from
    // another connection's thread (relayed notifications).
    bool recvAll(void* buf, size_t len);
    bool sendAll(const void* buf, size_t len);
    // Before each reply: the injected delay, and a check that the device is
    // still plugged in.
    bool beforeReply();

    // Framed plists: 4-byte big-endian length, then XML or binary.
    Plist recvPlist(bool* wasBinary = nullptr);
    bool sendPlist(plist_t node, bool binary = false);

    const ServiceSetup& setup() const { return cfg; }
    bool alive() const { return !dead; }

private:
    void hangUp();

    int fd;
    ServiceSetup cfg;
    std::mutex sendMutex;
    int64_t sent = 0; // guarded by sendMutex
    std::atomic<bool> dead{false};
};

// Takes ownership of fd and serves it on a detached thread.
void serveInBackground(int fd, const std::string& serviceName, ServiceSetup setup);

// The AFC server loop on an established connection rooted at rootDir.
void serveAfc(ServiceConnection& conn, const QString& rootDir, const QString& traceFile);

} // namespace sim
