// Error report bodies as the reference web server receives them.

#include "tools/vexlar-webd/webserver.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    if (body.size() > WebServer::kMaxBody) {
        return 0;
    }
    QString product, version, text;
    (void)WebServer::parseReport(body, product, version, text);
    return 0;
}
