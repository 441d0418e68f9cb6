#include "services/mobiledevice_springboard.h"

#include "device/cftype.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"

namespace {

constexpr int kTimeout = 60000;
const QByteArray kPngSignature = QByteArrayLiteral("\x89PNG\r\n\x1a\n");

} // namespace

QByteArray mobiledevice_springboard_icon(am_device* device, const QString& bundleId, qint64 maxBytes) {
    unsigned int socket = 0;
    mobiledevice_startservice(device, "com.apple.springboardservices", socket);
    struct Closer {
        unsigned int socket;
        ~Closer() { mobiledevice_closeservice(socket); }
    } closer{socket};

    CFType request = CFType::createCFDictionary();
    request.put(QStringLiteral("command"), CFType::createCFString(QStringLiteral("getIconPNGData")));
    request.put(QStringLiteral("bundleId"), CFType::createCFString(bundleId));
    mobiledevice_sendmsg(socket, request, true, kTimeout);
    const CFType png = mobiledevice_recmsg(socket, request, kTimeout).get(QStringLiteral("pngData"));
    if (!png.isCFData() || png.CFDataLength() > maxBytes) {
        return QByteArray();
    }
    const QByteArray bytes = png.CFDataBytes();
    return bytes.startsWith(kPngSignature) ? bytes : QByteArray();
}
