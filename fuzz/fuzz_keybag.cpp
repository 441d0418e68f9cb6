// The backup keybag, parsed and unlocked with the password the seeds were
// made with ("pw"), so the unwrap paths run. Iteration counts are clamped
// here: the parser's own cap still allows hours of work per input.

#include "backup/keybag.h"

#include <QtEndian>
#include <cstdint>
#include <stdexcept>

namespace {
void clamp(_KeybagInfo& bag, const QString& tag) {
    if (bag.attributes.contains(tag) && bag.attributeInt32(tag) > 16) {
        QByteArray value(4, '\0');
        qToBigEndian<quint32>(16, value.data());
        bag.attributes[tag] = value;
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray blob(reinterpret_cast<const char*>(data), qsizetype(size));
    _KeybagInfo bag;
    try {
        bag = parseKeybag(blob);
    } catch (const std::runtime_error&) {
        return 0;
    }
    clamp(bag, QStringLiteral("ITER"));
    clamp(bag, QStringLiteral("DPIC"));
    if (unlockWithPasscode("pw", bag)) {
        for (auto it = bag.classKeys.cbegin(); it != bag.classKeys.cend(); ++it) {
            (void)unwrapKeyForClass(bag, it.key(), blob.left(40));
        }
    }
    return 0;
}
