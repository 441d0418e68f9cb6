// A "Manifest.mbdb" file as the backup reader opens it; whatever it reads
// must write back and read again to the same records.

#include "backup/mbdbparser.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Manifest.mbdb"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size)) {
        return 0;
    }
    file.close();
    QHash<QString, MBDBParser::_MBDBItem> items;
    try {
        items = MBDBParser::parseMbdbFile(path);
    } catch (const std::runtime_error&) {
        return 0;
    }
    QBuffer out;
    out.open(QIODevice::ReadWrite);
    try {
        MBDBParser::writeMbdbRecords(out, items.values());
    } catch (const std::runtime_error&) {
        return 0; // a record that cannot be written is refused, not truncated
    }
    out.seek(6);
    if (MBDBParser::parseMbdbRecords(out).size() != items.size())
        std::abort();
    return 0;
}
