// Property-list parsing of arbitrary bytes: no crash, and whatever parses
// survives a round trip through the binary format.

#include "device/cftype.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const CFType value = CFType::createCFPropertyList(bytes);
    if (value.isNull())
        return 0;
    (void)value.toString();
    (void)value.NSKeyedArchiver();
    (void)CFType::parseNSDictionaryStringCFType(value);
    (void)value.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    const QByteArray binary = value.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    // Our own output must parse again.
    if (!binary.isEmpty() && CFType::createCFPropertyList(binary).isNull())
        std::abort();
    return 0;
}
