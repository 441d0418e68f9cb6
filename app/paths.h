#pragma once

// Where the program keeps its own files, and a few path and text helpers.
//
// The data directory is "<base>/3C9E17B0A4D25F68C1E0B7734D9A2F15", where base
// is the folder named in the redirect file
// "~/Library/Application Support/Quorvindale/3C9E17B0A4D25F68C1E0B7734D9A2F15.redirect"
// when that file names an existing path, else the Quorvindale folder itself.

#include <QDir>
#include <QString>

// "~/Library/Application Support".
QDir g_osAppDir();
// "~/Library/Application Support/Quorvindale".
QString g_defaultSaveDirPath();
// The redirect target when the redirect file names an existing path, else "".
QString g_dataSaveDirLink();
// The data directory path, resolved afresh from the redirect file (not cached).
QString g_resolveDataSaveDirPath();
// The data directory, resolved once per process and created when missing.
QDir g_dataSaveDir();

// Deletes a folder with its content. Hidden entries are not listed, so a folder
// holding a dot-file survives with that file. Symbolic links are removed as
// links and never followed.
void g_delDirCascade(const QString& path);
// Drops the characters \ / : * ? " < > | and line feed, carriage return, tab; trims.
QString g_formatFileName(const QString& name);
// What a device-supplied identifier names once it is a folder name.
enum class IdentifierKind {
    Device, // a UniqueDeviceID: a letter or digit, then up to 79 letters, digits, '_' or '-'
    App,    // a bundle identifier: the same, but up to 254 more, dots allowed ("com.example.app")
};
// Whether id can name one folder as it stands: never empty, ".", "..", a path or a hidden name.
// Every identifier a device gives is checked with this before it is joined to a path.
bool g_isSafeIdentifier(const QString& id, IdentifierKind kind = IdentifierKind::Device);
// Opens a URL, a file or a folder with the desktop; no shell is involved.
void g_openLink(const QString& target);
// "%1 KB", "%1 MB" or "%1 GB" with one decimal: 512 -> "0.5 KB", 1048576 -> "1.0 MB".
QString formatSpaceShow(const long long& bytes);
