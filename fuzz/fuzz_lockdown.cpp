// Lockdown requests to a simulated phone, as they arrive over a usbmuxd
// connection to its port 62078.

#include "fuzz/fuzzpeer.h"
#include "sim/usbmuxd/lockdownserver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {
sim::MuxDevice makeDevice() {
    sim::MuxDevice device;
    device.id = 1;
    device.udid = QStringLiteral("fuzz");
    static const QTemporaryDir dir;
    device.dir = dir.path();
    QDir().mkpath(device.dir + QStringLiteral("/files"));
    QFile file(device.dir + QStringLiteral("/device.plist"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>Lockdown</key><dict>"
                   "<key></key><dict><key>ProductVersion</key><string>14.3</string></dict>"
                   "<key>com.apple.disk_usage</key><dict><key>TotalDataCapacity</key><integer>1000000</integer>"
                   "</dict></dict><key>Sim</key><dict><key>TrustAccepted</key><true/></dict></dict></plist>");
    }
    return device;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const sim::MuxDevice device = makeDevice();
    FuzzPeer peer(data, size);
    if (peer.valid()) {
        sim::serveLockdown(peer.release(), device);
    }
    return 0;
}
