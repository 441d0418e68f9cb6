#pragma once

// Access to one simulated device's folder: device.plist, apps.plist, files/.

#include <QString>
#include <cstdint>
#include <memory>
#include <plist/plist.h>
#include <string>

namespace sim {

struct PlistDeleter {
    void operator()(plist_t p) const {
        if (p) {
            plist_free(p);
        }
    }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

// Result codes, negative like the real framework's 0xe800xxxx read as signed.
constexpr int kErrInvalidArgument = static_cast<int>(0xe8000007u);
constexpr int kErrNotConnected = static_cast<int>(0xe8000015u);
constexpr int kErrSessionInactive = static_cast<int>(0xe800001du);
constexpr int kErrInvalidService = static_cast<int>(0xe8000022u);
constexpr int kErrInvalidPairRecord = static_cast<int>(0xe8000025u);
constexpr int kErrServiceFailed = static_cast<int>(0xe8000028u);
constexpr int kErrUserDeniedPairing = static_cast<int>(0xe8000096u);
constexpr int kErrStoreWrite = static_cast<int>(0xe8000001u);

// Keeps totals positive for demo sizes while showing a believable used share.
constexpr int64_t kSystemShareBytes = 9LL * 1000 * 1000 * 1000;

QString simRoot();

// Parses a plist file (XML or binary); null when missing or unreadable.
Plist readPlistFile(const QString& path);
// Writes XML atomically; false when the file could not be replaced.
bool writePlistFile(const QString& path, plist_t node);
Plist parsePlist(const char* data, size_t len);

// Holds an exclusive advisory lock on a device folder for a read-modify-write
// of device.plist (shared with the simdevice tool).
class DeviceLock {
public:
    explicit DeviceLock(const QString& deviceDir);
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

private:
    int fd = -1;
};

// Typed look-ups into a dictionary tree; missing or mistyped gives the default.
plist_t dictPath(plist_t dict, std::initializer_list<const char*> keys);
bool boolAt(plist_t dict, std::initializer_list<const char*> keys, bool fallback);
int64_t intAt(plist_t dict, std::initializer_list<const char*> keys, int64_t fallback);
std::string stringOf(plist_t node);
// True when an array of strings holds the text.
bool arrayHasString(plist_t array, const std::string& text);

// A fault code from Sim.Faults turned into a failing result: 0 means none;
// positive values are negated so a fault always reads as a failure.
int faultCode(plist_t faultNode);

int64_t bytesUnder(const QString& dir);

// Plugs a device in or out in its device.plist tree. Each unplug is counted
// (Sim.Unplugs), so a watcher that slept through an unplug and a quick replug
// still sees the device leave and come back, as a real cable does.
void setPlugged(plist_t root, bool plugged);
// The count of unplugs so far; a device seen plugged with a new count came back.
int64_t unplugCount(plist_t root);

} // namespace sim
