// AFC replies as the cache cleaner meets them: a folder listing with one
// info request per entry, then a file opened, read, written, locked and closed.

#include "fuzz/fuzzpeer.h"
#include "services/mobiledevice_afc.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzPeer peer(data, size);
    if (!peer.valid()) {
        return 0;
    }
    mobiledevice_afc afc(nullptr);
    afc.socket = unsigned(peer.fd());
    try {
        (void)afc.lt(QStringLiteral("/Library/Caches"));
    } catch (const std::exception&) {
    }
    AfcFile file;
    if (afc.readFile(QStringLiteral("/Library/Caches/a"), file)) {
        char buffer[256];
        (void)file.read(buffer, sizeof buffer);
        (void)file.write(buffer, sizeof buffer);
        try {
            (void)mobiledevice_afc_file_lock(afc.socket, file.handle, AFC_LOCK_EX);
        } catch (const std::exception&) {
        }
        file.close();
    }
    (void)afc.del(QStringLiteral("/Library/Caches/a"));
    afc.socket = 0; // the peer owns the descriptor
    return 0;
}
