// DeviceLink messages of the backup service: the version handshake, then
// process messages until the stream fails.

#include "fuzz/fuzzpeer.h"
#include "services/mobiledevice_link.h"

#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzPeer peer(data, size);
    const unsigned socket = unsigned(peer.fd());
    try {
        mobiledevice_link_sc_version_exchange(socket);
        for (;;) {
            CFType whole;
            const CFType dict = mobiledevice_link_sc_recv_dlprocessmsg_inner(socket, CFType(), &whole);
            (void)dict.get(QStringLiteral("MessageName")).CFStringQString();
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
