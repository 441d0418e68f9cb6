#pragma once

// The host side of a mobilebackup2 run after the Backup or Restore request:
// the device's file-transfer messages answered against the backup root, until
// its final process message.

#include "device/cftype.h"

#include <QList>
#include <QPair>
#include <QString>
#include <functional>

namespace mb2 {

// Driver codes the helper answers with itself.
constexpr int kErrConnect = -2;  // no such device, or the service would not start
constexpr int kErrUnknown = -3;  // malformed request or an internal fault
constexpr int kErrPassword = -5; // wrong backup password
constexpr int kErrAttach = -10;  // the device went away during the run
constexpr int kErrLocked = -35;  // the device refused the service while locked

// The driver's code for an error code the device ends its run with.
int driverCodeOf(int deviceCode);

// The device's status code for a failed file operation's errno.
int deviceErrorOf(int error);

// A path the device names, below root/folder (the device's own backup
// folder: another phone's backups beside it stay out of reach); empty when it
// is absolute, names another folder, climbs out, has empty or dot parts, or
// passes through a link.
QString resolveUnder(const QString& root, const QString& folder, const QString& devicePath);
// Whether a copy from one resolved path to another would land in its own source or replace a folder holding it.
bool copyOverlaps(const QString& from, const QString& to);

class Transfer {
public:
    // folder: the device's own folder below root, the only one it may touch.
    // percent: called with whole percentages from the device's messages.
    Transfer(unsigned int socket, QString root, QString folder, std::function<void(int)> percent);

    // Serves the device until its final process message; returns the driver's
    // code (0 done). Throws std::runtime_error when the link breaks.
    int run();
    // Watches the device's notification proxy (a socket already observing the
    // passcode prompt's notifications) while the device is silent: prompt(true)
    // when the device asks its user for the passcode, again every few seconds
    // until it is entered, then prompt(false).
    void watchPasscodePrompt(unsigned int notifySocket, std::function<void(bool)> prompt);

    // What the device said when the run failed, for the user.
    QString error() const { return deviceError; }
    // The device's own ErrorDescription of the failure, empty when it gave none.
    QString words() const { return deviceWords; }

private:
    void reportProgress(const CFType& message, const QString& kind);
    void status(int code, const QString& text, const CFType& value);
    // 0 and an empty dictionary when nothing failed, else the multi-status
    // code with each failed path's errno.
    void statusFor(const QList<QPair<QString, int>>& failures);
    void downloadFiles(const CFType& paths);
    void uploadFiles();
    void contentsOfDirectory(const QString& path);
    void moveItems(const CFType& map);
    void removeItems(const CFType& paths);
    void copyItem(const QString& from, const QString& to);
    void createDirectory(const QString& path);
    // Whether path is the device's Status.plist, whose arrival makes the folder a finished backup: the
    // device uploads it last or moves it into place from <folder>/Snapshot/ last; all before goes to disk first.
    bool marksFinished(const QString& path) const;
    QString resolve(const QString& devicePath) const { return resolveUnder(root, folder, devicePath); }

    // Blocks until the device sends or hangs up: no time limit (a phone waits
    // for its passcode for as long as its user takes).
    void waitForData();
    quint32 readU32();
    QByteArray readBytes(quint32 n);
    void writeU32(quint32 v);
    void writeBytes(const char* data, int n);

    unsigned int socket;
    QString root;
    QString folder;
    std::function<void(int)> percent;
    int lastPercent = -1;
    QString deviceError;
    QString deviceWords;
    unsigned int notifySocket = 0;
    std::function<void(bool)> passcodePrompt;
    bool passcodeAsked = false;
};

} // namespace mb2
