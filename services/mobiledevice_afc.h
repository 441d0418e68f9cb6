#pragma once

// Apple File Conduit: file access to the media area ("com.apple.afc") or to
// one app's container ("com.apple.mobile.house_arrest" after VendContainer).
//
// A packet is a 40-byte header (five little-endian 64-bit numbers: magic
// "CFA6LPAA", entire length, this length, packet number, operation), the
// operation's header data, then its content. Requests get exactly one reply.

#include "device/mobiledevice_abi.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <atomic>
#include <stdexcept>
#include <string>

enum afc_operation_t : unsigned long long {
    AFC_OP_STATUS = 1,
    AFC_OP_DATA = 2,
    AFC_OP_READ_DIR = 3,
    AFC_OP_REMOVE_PATH = 8,
    AFC_OP_MAKE_DIR = 9,
    AFC_OP_GET_FILE_INFO = 10,
    AFC_OP_FILE_OPEN = 13,
    AFC_OP_FILE_OPEN_RES = 14,
    AFC_OP_FILE_READ = 15,
    AFC_OP_FILE_WRITE = 16,
    AFC_OP_FILE_TELL_RES = 19,
    AFC_OP_FILE_CLOSE = 20,
    AFC_OP_RENAME_PATH = 24,
    AFC_OP_FILE_LOCK = 27,
};

enum afc_file_mode_t : unsigned long long {
    AFC_FOPEN_RDONLY = 1,
    AFC_FOPEN_WRONLY = 3,
};

enum afc_lock_op_t : unsigned long long {
    AFC_LOCK_SH = 1 | 4,
    AFC_LOCK_EX = 2 | 4,
    AFC_LOCK_UN = 8 | 4,
};

inline constexpr int kAfcHeaderSize = 40;
inline constexpr int kAfcReadBlock = 65536;
inline constexpr int kAfcWriteBlock = 32768;
// Largest reply payload accepted: a hostile length must not make us allocate without bound.
inline constexpr quint64 kAfcMaxPayload = 64ull * 1024 * 1024;
inline constexpr int kAfcTimeout = 60000;
// Requests a listing keeps on the wire at once: the replies of a window (about
// 200 bytes each) fit a socket's buffer, so neither side blocks the other.
inline constexpr qsizetype kAfcRequestsInFlight = 64;
// Status codes the client acts on.
inline constexpr quint64 kAfcErrObjectNotFound = 8;
inline constexpr quint64 kAfcErrPermDenied = 10;

// One request was refused (a non-zero status from the device, or a path the
// client would not send); the connection is still in step and stays usable.
// Every other failure of the packet layer leaves the stream in an unknown state.
class afc_status_error : public std::runtime_error {
public:
    afc_status_error(const std::string& text, quint64 code) : std::runtime_error(text), code(code) {}
    quint64 code;
};

// A name a folder listing may give: one plain component (not empty, not "." or
// "..", no "/" and no NUL). Anything else from a device is hostile.
bool afc_is_plain_name(const QString& name);

struct _AFCHeader {
    char magic[8];
    unsigned long long entireLength;
    unsigned long long thisLength;
    unsigned long long packetNumber;
    unsigned long long operation;

    _AFCHeader();
    // Packet number: the socket's number sign-extended, 0xFFFFFFFF for 0.
    _AFCHeader(int packetNumber, int operation);

    QByteArray toBytes() const;
    // False when the bytes are too few or the magic is wrong.
    bool fromBytes(const QByteArray& bytes);
};

// Packet layer: all throw std::runtime_error on failure.
void mobiledevice_afc_send_data(unsigned int socket, _AFCHeader const& header, char const* data, int length);
// One reply: fills `header`, returns the payload. With `status` non-null a
// status reply's code is stored there instead of being checked.
QByteArray mobiledevice_afc_read_data(unsigned int socket, _AFCHeader& header, int* status);
QStringList mobiledevice_afc_read_dir(unsigned int socket, QString path);
QMap<QString, QString> mobiledevice_afc_file_info(unsigned int socket, QString path);
unsigned long long mobiledevice_afc_open_file(unsigned int socket, QString path, afc_file_mode_t mode);
void mobiledevice_afc_close_file(unsigned int socket, unsigned long long handle);
unsigned int mobiledevice_afc_file_read(unsigned int socket, unsigned long long handle, char* buffer,
                                        unsigned int length);
unsigned int mobiledevice_afc_file_write(unsigned int socket, unsigned long long handle, char const* data,
                                         unsigned int length);
int mobiledevice_afc_file_lock(unsigned int socket, unsigned long long handle, afc_lock_op_t op);
void mobiledevice_afc_remove(unsigned int socket, QString path);
void mobiledevice_afc_rename(unsigned int socket, QString from, QString to);
void mobiledevice_afc_mkdir(unsigned int socket, QString path);
// Asks house arrest for the app's container; the socket then speaks AFC.
void mobiledevice_afc_housearrest_set_pid(unsigned int socket, QString appId);

struct _AfcFileInfo {
    QString path;
    qint64 size = 0;
    QDateTime mtime;
    QString type;

    _AfcFileInfo() = default;
    explicit _AfcFileInfo(QString path) : path(std::move(path)) {}
    bool isValid() const { return !type.isEmpty(); }
    bool isFile() const { return type == QLatin1String("S_IFREG"); }
    bool isDir() const { return type == QLatin1String("S_IFDIR"); }
};

// An open file on the client's socket; valid while that socket is open.
class AfcFile {
public:
    AfcFile() = default;
    ~AfcFile();
    AfcFile(const AfcFile&) = delete;
    AfcFile& operator=(const AfcFile&) = delete;

    // Byte count, or -1 when the exchange failed.
    int read(char* buffer, int length);
    int write(char const* data, int length);
    // Closes an open handle, ignoring errors.
    void close();
    bool isOpen() const { return handle != 0; }

    unsigned int socket = 0;
    unsigned long long handle = 0;
};

class mobiledevice_afc {
public:
    explicit mobiledevice_afc(am_device* device);
    ~mobiledevice_afc();
    mobiledevice_afc(const mobiledevice_afc&) = delete;
    mobiledevice_afc& operator=(const mobiledevice_afc&) = delete;

    // Empty appId: the media area; otherwise the app's container. Throws.
    void startService(QString appId);
    void closeService();

    // Throws on a failed exchange.
    _AfcFileInfo fileInfo(QString path);
    // Regular files and folders directly inside `dir`, in the device's order;
    // names that are not plain are dropped. Empty when the device refuses to
    // list `dir` (a missing folder); an entry that vanished before its info
    // was read is left out. Any other failure throws: a broken connection is
    // not an empty folder. Throws the int -1 once *cancel is set.
    QList<_AfcFileInfo> lt(QString dir);
    bool mkdir(QString path);
    bool del(QString path);
    bool rename(QString from, QString to);
    bool openFile(QString path, afc_file_mode_t mode, AfcFile& file);
    bool readFile(QString path, AfcFile& file);
    bool writeFile(QString path, AfcFile& file);

    am_device* device;
    unsigned int socket;
    // The worker's cancel flag, polled by lt between requests; null: never cancelled.
    std::atomic<bool> const* cancel = nullptr;
};
