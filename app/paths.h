#pragma once

// Where the program keeps its own files, and a few path and text helpers.
//
// The folders follow the XDG base directories, each with a "spacevexlar" folder:
// settings in $XDG_CONFIG_HOME, data in $XDG_DATA_HOME, the icon cache in
// $XDG_CACHE_HOME and logs in $XDG_STATE_HOME (each variable, when unset or not
// an absolute path, falls back to ~/.config, ~/.local/share, ~/.cache and
// ~/.local/state). Device backups go to a folder the user chooses, by default
// "backups" in the data folder.
//
// Earlier versions kept everything in
// "~/Library/Application Support/Quorvindale/3C9E17B0A4D25F68C1E0B7734D9A2F15"
// (or in the folder a redirect file there named) and their backups in
// "~/Documents/__quorvindale_iosbk_temp"; g_moveLegacyFolders() moves those over once.

#include <QDir>
#include <QString>

// "$XDG_CONFIG_HOME/spacevexlar/spacevexlar.conf", the settings file (QSettings, ini format).
QString g_settingsFilePath();
// The data directory, resolved once per process and created when missing.
QDir g_dataSaveDir();
// The data directory path, resolved afresh from the environment (not cached).
QString g_resolveDataSaveDirPath();
// "$XDG_CACHE_HOME/spacevexlar", created when missing.
QDir g_cacheDir();
// "$XDG_STATE_HOME/spacevexlar/logs" (not created here).
QString g_logDirPath();

// The folder of device backups: "spacevexlar-backups" in the folder the setting
// "backups/folder" names when it holds an absolute path, else "backups" in the
// data directory. Never the chosen folder itself, which the program would
// empty. Not created here.
QString g_backupDirPath();
// Stores the folder that holds the backup folder; an empty path returns to the default.
void g_setBackupDirPath(const QString& path);
// How many restore points of a backup folder a successful clean keeps (its own included): 1 to 20, default 1.
int g_restorePointsToKeep();
void g_setRestorePointsToKeep(int count);

// The data directory of earlier versions, honouring their redirect file.
QString g_legacyDataDirPath();
// Moves the folders of earlier versions into the XDG folders, once: a marker in
// the settings folder records that it ran. Entries are renamed, or copied,
// compared and only then removed when they live on another file system. An entry
// whose destination already exists stays where it is. Returns false when
// something could not be moved; the marker is then not written, so the next
// start tries again.
bool g_moveLegacyFolders();

// The device library and the backup helper where `cmake --install` puts them.
QString g_installedDeviceLibraryPath();
QString g_installedBackupHelperPath();

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
