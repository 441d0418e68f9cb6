#include "backup/backupmanifest.h"

#include <stdexcept>

namespace {
[[noreturn]] void notYet() { throw std::runtime_error("not implemented"); }
} // namespace

BackupManifest::_FileNode::_FileNode(_FileNode* parent_, MBDBParser::_MBDBItem item_, const QString& name_)
    : name(name_), item(std::move(item_)), parent(parent_) {}
BackupManifest::_FileNode::~_FileNode() { qDeleteAll(children); }

BackupManifest::BackupManifest(const QString& dirPath, QObject* parent)
    : QObject(parent), dir(dirPath), root(nullptr, MBDBParser::_MBDBItem(), QString()) {}
BackupManifest::~BackupManifest() = default;

void BackupManifest::readManifestInfo() { notYet(); }
bool BackupManifest::setPasscode(const QString&) { notYet(); }
bool BackupManifest::setPasscodeNoUIThrow(const QString&) { notYet(); }
void BackupManifest::parseInfo() { notYet(); }
void BackupManifest::copyItemThrow(const MBDBParser::_MBDBItem&, const QString&, void*, BackupProgressCallback) const {
    notYet();
}
void BackupManifest::copyFile(const _FileNode*, const QString&, void*, BackupProgressCallback) const { notYet(); }
MBDBParser::_MBDBItem BackupManifest::firstEncryptedItem(QByteArray&) { notYet(); }
void BackupManifest::decryptFileThrow(const QByteArray&, const QString&, const QString&, void*,
                                      BackupProgressCallback) {
    notYet();
}
void BackupManifest::encryptFileThrow(const QString&, const QString&, const QByteArray&) { notYet(); }
QByteArray BackupManifest::fileKeyFor(const MBDBParser::_MBDBItem&) const { notYet(); }
QString BackupManifest::manifestDbPathInUse() const { notYet(); }
