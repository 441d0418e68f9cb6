#include "backup/byteorder.h"
#include "backup/mbdbparser.h"
#include "backup/mbdbparser_p.h"

#include <QFile>
#include <QIODevice>
#include <algorithm>
#include <vector>

// "Manifest.mbdb": the binary manifest of older devices.

using manifest_detail::throwText;

namespace {

constexpr char kMbdbMagic[] = "mbdb";
constexpr qsizetype kMbdbMagicSize = 4;
constexpr qsizetype kMbdbHeaderSize = 6;
const QByteArray kMbdbHeader("mbdb\x05\x00", kMbdbHeaderSize);
constexpr qint64 kMaxMbdbFileSize = qint64(1) << 32;

// A short read: the device's own error when it has one, else where the data ran out.
[[noreturn]] void throwShortRead(QIODevice& in, const char* what) {
    const QString err = in.errorString();
    if (!err.isEmpty() && err != QLatin1String("Unknown error")) {
        throwText(err);
    }
    throwText(
        QStringLiteral("Manifest.mbdb is truncated: %1 cut off at offset %2.").arg(QLatin1String(what)).arg(in.pos()));
}

QByteArray readExactly(QIODevice& in, qint64 n, const char* what) {
    QByteArray bytes = in.read(n);
    if (bytes.size() != n) {
        throwShortRead(in, what);
    }
    return bytes;
}

template <typename T>
T readInt(QIODevice& in, const char* what) {
    const QByteArray bytes = readExactly(in, sizeof(T), what);
    return *byteorder::readBigEndian<T>(bytes, 0);
}

void writeAll(QIODevice& out, const QByteArray& bytes) {
    if (out.write(bytes) != bytes.size()) {
        throwText(out.errorString());
    }
}

template <typename T>
void writeInt(QIODevice& out, T value) {
    writeAll(out, byteorder::toBigEndian<T>(value));
}

} // namespace

// ---- field readers and writers

MBDBParser::_MBDBBinary g_readBinary(QIODevice& in) {
    MBDBParser::_MBDBBinary b;
    const quint16 length = readInt<quint16>(in, "string length");
    if (length != MBDBParser::_MBDBBinary::kAbsent) {
        b.data = length == 0 ? QByteArray("", 0) : readExactly(in, length, "string");
    }
    return b;
}
quint16 g_readInt16(QIODevice& in) {
    return readInt<quint16>(in, "16-bit field");
}
quint32 g_readInt32(QIODevice& in) {
    return readInt<quint32>(in, "32-bit field");
}
quint64 g_readInt64(QIODevice& in) {
    return readInt<quint64>(in, "64-bit field");
}
quint8 g_readByte(QIODevice& in) {
    return readInt<quint8>(in, "byte field");
}

void g_writeBinary(QIODevice& out, const MBDBParser::_MBDBBinary& value) {
    // The largest length is one less than the mark of an absent field.
    if (value.data.size() >= MBDBParser::_MBDBBinary::kAbsent) {
        throwText(QStringLiteral("Manifest.mbdb: a field of %1 bytes does not fit its 16-bit length.")
                      .arg(value.data.size()));
    }
    writeInt<quint16>(out, value.length());
    if (value.isValid()) {
        writeAll(out, value.data);
    }
}
void g_writeInt16(QIODevice& out, quint16 value) {
    writeInt(out, value);
}
void g_writeInt32(QIODevice& out, quint32 value) {
    writeInt(out, value);
}
void g_writeInt64(QIODevice& out, quint64 value) {
    writeInt(out, value);
}
void g_writeByte(QIODevice& out, quint8 value) {
    writeInt(out, value);
}

// ---- "Manifest.mbdb"

QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parseMbdbRecords(QIODevice& in) {
    QHash<QString, _MBDBItem> items;
    QHash<QByteArray, QByteArray> domains; // records share a handful: one copy of each
    while (!in.atEnd()) {
        _MBDBItem item;
        item.domain = g_readBinary(in);
        // An absent or empty domain ends the record here.
        if (!item.domain.isValid()) {
            continue;
        }
        const auto known = domains.constFind(item.domain.data);
        item.domain.data = known != domains.constEnd() ? *known : *domains.insert(item.domain.data, item.domain.data);
        item.relativePath = g_readBinary(in);
        item.linkTarget = g_readBinary(in);
        item.digest = g_readBinary(in);
        item.encryptionKey = g_readBinary(in);
        item.mode = g_readInt16(in);
        item.inodeHigh = g_readInt32(in);
        item.inode = g_readInt32(in);
        item.userId = static_cast<qint32>(g_readInt32(in));
        item.groupId = static_cast<qint32>(g_readInt32(in));
        item.lastModified = static_cast<qint32>(g_readInt32(in));
        item.lastStatusChange = static_cast<qint32>(g_readInt32(in));
        item.birth = static_cast<qint32>(g_readInt32(in));
        item.size = static_cast<qint64>(g_readInt64(in));
        item.protectionClass = static_cast<qint8>(g_readByte(in));
        // An unsigned byte: up to 255 pairs.
        const int count = g_readByte(in);
        for (int i = 0; i < count; ++i) {
            _MBDBProperty prop;
            prop.name = g_readBinary(in);
            prop.value = g_readBinary(in);
            item.properties.append(prop);
        }
        QString name = item.backupFileName();
        items.emplace(std::move(name), std::move(item));
    }
    return items;
}

QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parseMbdbFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        throwText(f.errorString());
    }
    if (f.size() > kMaxMbdbFileSize) {
        throwText(QStringLiteral("Manifest.mbdb is too large (%1 bytes).").arg(f.size()));
    }
    const QByteArray header = f.read(kMbdbHeaderSize);
    if (header.size() != kMbdbHeaderSize || !header.startsWith(QByteArray(kMbdbMagic, kMbdbMagicSize))) {
        throwText(QStringLiteral("%1 is not a Manifest.mbdb file.").arg(path));
    }
    return parseMbdbRecords(f);
}

void MBDBParser::writeMbdbRecords(QIODevice& out, QList<_MBDBItem> items) {
    std::vector<const _MBDBItem*> kept;
    kept.reserve(size_t(items.size()));
    for (const _MBDBItem& item : std::as_const(items)) {
        if (!item.deleted) {
            kept.push_back(&item);
        }
    }
    std::sort(kept.begin(), kept.end(), manifest_detail::compareMBDBItemPointersLess);
    writeAll(out, kMbdbHeader);
    for (const _MBDBItem* record : kept) {
        const _MBDBItem& item = *record;
        g_writeBinary(out, item.domain);
        g_writeBinary(out, item.relativePath);
        g_writeBinary(out, item.linkTarget);
        g_writeBinary(out, item.digest);
        g_writeBinary(out, item.encryptionKey);
        g_writeInt16(out, item.mode);
        g_writeInt32(out, item.inodeHigh);
        g_writeInt32(out, static_cast<quint32>(item.inode & 0xFFFFFFFFu));
        g_writeInt32(out, static_cast<quint32>(item.userId));
        g_writeInt32(out, static_cast<quint32>(item.groupId));
        g_writeInt32(out, static_cast<quint32>(item.lastModified));
        g_writeInt32(out, static_cast<quint32>(item.lastStatusChange));
        g_writeInt32(out, static_cast<quint32>(item.birth));
        g_writeInt64(out, static_cast<quint64>(item.size));
        g_writeByte(out, static_cast<quint8>(item.protectionClass));
        // The count is one byte; dropping pairs would lose them silently.
        const int count = static_cast<int>(item.properties.size());
        if (count > kMaxMbdbProperties) {
            throwText(QStringLiteral("Manifest.mbdb: %1 has %2 properties, more than a record can hold (%3).")
                          .arg(item.relativePath.toString())
                          .arg(count)
                          .arg(kMaxMbdbProperties));
        }
        g_writeByte(out, static_cast<quint8>(count));
        for (int i = 0; i < count; ++i) {
            g_writeBinary(out, item.properties.at(i).name);
            g_writeBinary(out, item.properties.at(i).value);
        }
    }
}
