// Requests to the simulated usbmuxd, served as one client connection. The
// server's own source is compiled in so its private request loop is reached.

#include "fuzz/fuzzpeer.h"

#define main simusbmuxd_main
#include "sim/usbmuxd/main.cpp"
#undef main

#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QTemporaryDir state;
    static const bool ready = [] {
        g_stateDir = state.path();
        return state.isValid();
    }();
    FuzzPeer peer(data, size);
    if (ready && peer.valid()) {
        serveClient(peer.release());
    }
    return 0;
}
