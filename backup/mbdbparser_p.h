#pragma once

// Helpers shared by the two manifest forms; not part of the backup store's interface.

#include "backup/mbdbparser.h"
#include "backup/sharedblocks.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>

class BackupManifest;

namespace manifest_detail {

[[noreturn]] void throwText(const QString& text);

QByteArray utf8Text(const char* text, qsizetype n);
QByteArray utf8Text(const MBDBParser::_MBDBBinary& field);
// utf8Text kept in blocks.
QByteArray sharedUtf8Text(SharedBlocks<QByteArray>& blocks, QByteArrayView text);
QString hashNameOf(QByteArrayView domainUtf8, QByteArrayView relativePathUtf8);
QString hashNameOf(SharedBlocks<QString>& blocks, QByteArrayView domainUtf8, QByteArrayView relativePathUtf8);
bool compareMBDBItemPointersLess(const MBDBParser::_MBDBItem* a, const MBDBParser::_MBDBItem* b);

// "Manifest.db" (manifestdb.cpp).
QHash<QString, MBDBParser::_MBDBItem> parseManifestDb(const BackupManifest& manifest);
void saveManifestDb(const QList<MBDBParser::_MBDBItem>& items, BackupManifest& manifest);

} // namespace manifest_detail
