#pragma once

// File relay ("com.apple.mobile.file_relay"): asked for named groups of device
// files, the device answers "Acknowledged" and then streams one gzip-compressed
// cpio archive and closes the connection. Functions throw std::runtime_error.

#include "device/mobiledevice_abi.h"

#include <QString>
#include <QStringList>

inline constexpr int kFileRelayAnswerTimeout = 3600000;
// Most bytes an archive may unpack to unless the caller says otherwise.
inline constexpr qint64 kFileRelayMaxBytes = 4LL * 1024 * 1024 * 1024;

void mobiledevice_filerelay_start(am_device* device, unsigned int& socket);

// Sends the request and waits for "Acknowledged"; the archive that follows is
// left on the socket.
void mobiledevice_filerelay(unsigned int socket, QStringList sources);

// Reads the archive from the socket and unpacks its folders and regular files
// below `destination`, which must not exist yet: the tree is built beside it
// and renamed into place only when the whole archive was read, so a failure
// leaves nothing behind. Links and device nodes are skipped; a member whose
// name is absolute or climbs with ".." fails the whole archive. Returns the
// relative paths of the files written, in archive order.
QStringList mobiledevice_filerelay_extract(unsigned int socket, QString destination,
                                           qint64 maxBytes = kFileRelayMaxBytes);
