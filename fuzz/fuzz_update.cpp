// Bodies of the update check's two answers: the download address and the
// status-bar announcement.

#include "app/updatecheck.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    (void)UpdateCheck::updateAddress(body);
    // The styled text is stored and read back through the same check.
    const QString styled = UpdateCheck::styledAnnouncement(body);
    if (!styled.isEmpty()) {
        (void)UpdateCheck::styledAnnouncement(styled.toUtf8());
    }
    return 0;
}
