// Length-prefixed property-list messages of a device service, read until the
// stream fails.

#include "device/mobiledevice_msg.h"
#include "fuzz/fuzzpeer.h"

#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzPeer peer(data, size);
    try {
        for (;;) {
            const CFType message = mobiledevice_recmsg(unsigned(peer.fd()), CFType(), 1000);
            (void)message.toString();
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
