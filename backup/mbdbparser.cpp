#include "backup/mbdbparser.h"

#include <stdexcept>

namespace {
[[noreturn]] void notYet() { throw std::runtime_error("not implemented"); }
} // namespace

QString MBDBParser::_MBDBItem::backupFileName() const { notYet(); }
bool MBDBParser::isIos10Mbdb(const QDir&) { notYet(); }
QString MBDBParser::getFileHashName(const QString&, const QString&) { notYet(); }
QString MBDBParser::getBKFilePath(const QDir&, const QString&, bool) { notYet(); }
QByteArray MBDBParser::readFileHash(const QString&) { notYet(); }
QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parse(const BackupManifest&) { notYet(); }
QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parseMbdbFile(const QString&) { notYet(); }
QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parseMbdbRecords(QIODevice&) { notYet(); }
void MBDBParser::writeMbdbRecords(QIODevice&, QList<_MBDBItem>) { notYet(); }
bool MBDBParser::appendFile(QHash<QString, _MBDBItem>&, const QString&, const QString&, const QString&, long long,
                            const _MBDBItem*, QString*) {
    notYet();
}
void MBDBParser::save2File(QList<_MBDBItem>, BackupManifest&) { notYet(); }
QByteArray MBDBParser::mbFilePlist(const _MBDBItem&) { notYet(); }
MBDBParser::_MBDBItem MBDBParser::itemFromMbFilePlist(const QByteArray&, const QString&, const QString&) { notYet(); }
QByteArray MBDBParser::fileDescKey(const QByteArray&, const QByteArray&) { notYet(); }
QByteArray MBDBParser::decryptFileDescThrow(const QByteArray&, const QByteArray&) { notYet(); }
QByteArray MBDBParser::encryptFileDescThrow(const QByteArray&, const QByteArray&) { notYet(); }
bool compareMBDBItemLess(const MBDBParser::_MBDBItem&, const MBDBParser::_MBDBItem&) { notYet(); }
