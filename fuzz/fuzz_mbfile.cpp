// One "file" column of Manifest.db: an "MBFile" keyed archive, plain or, in
// early encrypted backups, Base64 of its AES encryption.

#include "backup/mbdbparser.h"

#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const MBDBParser::_MBDBItem item =
            MBDBParser::itemFromMbFilePlist(bytes, QStringLiteral("HomeDomain"), QStringLiteral("Library/x"));
        // What we read must serialise again.
        (void)MBDBParser::itemFromMbFilePlist(MBDBParser::mbFilePlist(item), item.domain.toString(),
                                              item.relativePath.toString());
    } catch (const std::runtime_error&) {
    }
    try {
        static const QByteArray key = MBDBParser::fileDescKey("pw", "0123456789abcdef");
        (void)MBDBParser::itemFromMbFilePlist(MBDBParser::decryptFileDescThrow(bytes, key), QStringLiteral("D"),
                                              QStringLiteral("p"));
    } catch (const std::runtime_error&) {
    }
    return 0;
}
