#include "services/mobiledevice_afc.h"

#include "device/cftype.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr char kAfcMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};

// The one reader of little-endian fields: `def` when the bytes are too few.
quint64 readLE64(const QByteArray& bytes, qsizetype offset, quint64 def = 0) {
    if (offset < 0 || bytes.size() - offset < 8) {
        return def;
    }
    return qFromLittleEndian<quint64>(bytes.constData() + offset);
}

void appendLE64(QByteArray& bytes, quint64 value) {
    char buffer[8];
    qToLittleEndian<quint64>(value, buffer);
    bytes.append(buffer, 8);
}

[[noreturn]] void fail(const QString& text) {
    throw std::runtime_error(text.toStdString());
}

// A path whose ".." components climb above the root would leave the area the
// service was opened on; refuse it before it reaches the device.
QByteArray devicePath(const QString& path) {
    int depth = 0;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("..")) {
            if (--depth < 0) {
                throw afc_status_error(QStringLiteral("AFC path leaves its root: %1").arg(path).toStdString(),
                                       kAfcErrPermDenied);
            }
        } else if (part != QLatin1String(".")) {
            ++depth;
        }
    }
    QByteArray bytes = path.toUtf8();
    bytes.append('\0');
    return bytes;
}

_AFCHeader requestHeader(unsigned int socket, afc_operation_t op, qsizetype payloadLength) {
    _AFCHeader header(static_cast<int>(socket), static_cast<int>(op));
    header.entireLength = header.thisLength = kAfcHeaderSize + static_cast<quint64>(payloadLength);
    return header;
}

// One request whose whole payload is header data, and its reply (a non-zero status throws).
QByteArray request(unsigned int socket, afc_operation_t op, const QByteArray& payload) {
    const _AFCHeader header = requestHeader(socket, op, payload.size());
    mobiledevice_afc_send_data(socket, header, payload.constData(), static_cast<int>(payload.size()));
    _AFCHeader reply;
    return mobiledevice_afc_read_data(socket, reply, nullptr);
}

// Zero-terminated UTF-8 texts; bytes after the last zero are ignored.
QStringList splitTexts(const QByteArray& payload) {
    QStringList texts;
    qsizetype start = 0;
    for (qsizetype i = 0; i < payload.size(); ++i) {
        if (payload[i] == '\0') {
            texts.append(QString::fromUtf8(payload.constData() + start, i - start));
            start = i + 1;
        }
    }
    return texts;
}

QByteArray handlePayload(unsigned long long handle) {
    QByteArray payload;
    appendLE64(payload, handle);
    return payload;
}

} // namespace

_AFCHeader::_AFCHeader() : entireLength(0), thisLength(0), packetNumber(0), operation(0) {
    std::memcpy(magic, kAfcMagic, sizeof magic);
}

_AFCHeader::_AFCHeader(int number, int op)
    : entireLength(0), thisLength(0),
      packetNumber(number == 0 ? 0xFFFFFFFFull : static_cast<unsigned long long>(static_cast<long long>(number))),
      operation(static_cast<unsigned long long>(op)) {
    std::memcpy(magic, kAfcMagic, sizeof magic);
}

QByteArray _AFCHeader::toBytes() const {
    QByteArray bytes(magic, sizeof magic);
    appendLE64(bytes, entireLength);
    appendLE64(bytes, thisLength);
    appendLE64(bytes, packetNumber);
    appendLE64(bytes, operation);
    return bytes;
}

bool _AFCHeader::fromBytes(const QByteArray& bytes) {
    if (bytes.size() < kAfcHeaderSize || std::memcmp(bytes.constData(), kAfcMagic, sizeof kAfcMagic) != 0) {
        return false;
    }
    std::memcpy(magic, bytes.constData(), sizeof magic);
    entireLength = readLE64(bytes, 8);
    thisLength = readLE64(bytes, 16);
    packetNumber = readLE64(bytes, 24);
    operation = readLE64(bytes, 32);
    return true;
}

void mobiledevice_afc_send_data(unsigned int socket, _AFCHeader const& header, char const* data, int length) {
    // One send for header and payload: a request is one message on the wire.
    QByteArray packet = header.toBytes();
    if (length > 0) {
        packet.append(data, length);
    }
    const int sent = mobiledevice_send_all(socket, packet.constData(), static_cast<int>(packet.size()), kAfcTimeout);
    if (sent < kAfcHeaderSize) {
        fail(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
    }
    if (sent < packet.size()) {
        fail(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
    }
}

QByteArray mobiledevice_afc_read_data(unsigned int socket, _AFCHeader& header, int* status) {
    QByteArray head(kAfcHeaderSize, Qt::Uninitialized);
    if (mobiledevice_recv_all(socket, head.data(), kAfcHeaderSize, kAfcTimeout) < kAfcHeaderSize ||
        !header.fromBytes(head) || header.entireLength < kAfcHeaderSize) {
        fail(QStringLiteral("read AFC header failed."));
    }
    const quint64 length = header.entireLength - kAfcHeaderSize;
    if (length > kAfcMaxPayload) {
        fail(QStringLiteral("read AFC file block data failed."));
    }
    QByteArray payload(static_cast<qsizetype>(length), Qt::Uninitialized);
    if (length > 0 && mobiledevice_recv_all(socket, payload.data(), static_cast<int>(length), kAfcTimeout) !=
                          static_cast<int>(length)) {
        fail(QStringLiteral("read AFC file block data failed."));
    }
    switch (header.operation) {
    case AFC_OP_STATUS: {
        const quint64 code = readLE64(payload, 0);
        if (status) {
            *status = static_cast<int>(code);
        } else if (code != 0) {
            throw afc_status_error(
                QStringLiteral("read AFC failed, received AFC_OP_STATUS, param1=%1.").arg(code).toStdString(), code);
        }
        return payload;
    }
    case AFC_OP_DATA:
    case AFC_OP_FILE_OPEN_RES:
    case AFC_OP_FILE_TELL_RES:
        return payload;
    default:
        fail(QStringLiteral("read AFC failed, Unknown operation code received %1, param1=%2.")
                 .arg(header.operation)
                 .arg(readLE64(payload, 0)));
    }
}

QStringList mobiledevice_afc_read_dir(unsigned int socket, QString path) {
    return splitTexts(request(socket, AFC_OP_READ_DIR, devicePath(path)));
}

QMap<QString, QString> mobiledevice_afc_file_info(unsigned int socket, QString path) {
    const QStringList texts = splitTexts(request(socket, AFC_OP_GET_FILE_INFO, devicePath(path)));
    QMap<QString, QString> info;
    for (qsizetype i = 0; i + 1 < texts.size(); i += 2) {
        info.insert(texts[i], texts[i + 1]);
    }
    return info;
}

unsigned long long mobiledevice_afc_open_file(unsigned int socket, QString path, afc_file_mode_t mode) {
    QByteArray payload;
    appendLE64(payload, mode);
    payload.append(devicePath(path));
    return readLE64(request(socket, AFC_OP_FILE_OPEN, payload), 0);
}

void mobiledevice_afc_close_file(unsigned int socket, unsigned long long handle) {
    request(socket, AFC_OP_FILE_CLOSE, handlePayload(handle));
}

unsigned int mobiledevice_afc_file_read(unsigned int socket, unsigned long long handle, char* buffer,
                                        unsigned int length) {
    unsigned int done = 0;
    while (done < length) {
        const unsigned int ask = std::min<unsigned int>(length - done, kAfcReadBlock);
        QByteArray payload = handlePayload(handle);
        appendLE64(payload, ask);
        const QByteArray data = request(socket, AFC_OP_FILE_READ, payload);
        if (data.isEmpty()) {
            break;
        }
        const unsigned int got = std::min<unsigned int>(static_cast<unsigned int>(data.size()), ask);
        std::memcpy(buffer + done, data.constData(), got);
        done += got;
    }
    return done;
}

unsigned int mobiledevice_afc_file_write(unsigned int socket, unsigned long long handle, char const* data,
                                         unsigned int length) {
    unsigned int done = 0;
    const QByteArray handleBytes = handlePayload(handle);
    while (done < length) {
        const int chunk = static_cast<int>(std::min<unsigned int>(length - done, kAfcWriteBlock));
        _AFCHeader header(static_cast<int>(socket), AFC_OP_FILE_WRITE);
        header.thisLength = kAfcHeaderSize + 8;
        header.entireLength = header.thisLength + static_cast<quint64>(chunk);
        mobiledevice_afc_send_data(socket, header, handleBytes.constData(), 8);
        // A partly sent chunk leaves the stream out of step just as a lost one does.
        if (mobiledevice_send_all(socket, data + done, chunk, kAfcTimeout) != chunk) {
            fail(QStringLiteral("write AFC file error."));
        }
        _AFCHeader reply;
        mobiledevice_afc_read_data(socket, reply, nullptr);
        done += static_cast<unsigned int>(chunk);
    }
    return done;
}

int mobiledevice_afc_file_lock(unsigned int socket, unsigned long long handle, afc_lock_op_t op) {
    QByteArray payload = handlePayload(handle);
    appendLE64(payload, op);
    const _AFCHeader header = requestHeader(socket, AFC_OP_FILE_LOCK, payload.size());
    mobiledevice_afc_send_data(socket, header, payload.constData(), static_cast<int>(payload.size()));
    _AFCHeader reply;
    int status = 0;
    mobiledevice_afc_read_data(socket, reply, &status);
    return status;
}

void mobiledevice_afc_remove(unsigned int socket, QString path) {
    request(socket, AFC_OP_REMOVE_PATH, devicePath(path));
}

void mobiledevice_afc_rename(unsigned int socket, QString from, QString to) {
    request(socket, AFC_OP_RENAME_PATH, devicePath(from) + devicePath(to));
}

void mobiledevice_afc_mkdir(unsigned int socket, QString path) {
    request(socket, AFC_OP_MAKE_DIR, devicePath(path));
}

void mobiledevice_afc_housearrest_set_pid(unsigned int socket, QString appId) {
    CFType message = CFType::createCFDictionary();
    message.put(QStringLiteral("Command"), CFType::createCFString(QStringLiteral("VendContainer")));
    message.put(QStringLiteral("Identifier"), CFType::createCFString(appId));
    mobiledevice_sendmsg(socket, message, false, kAfcTimeout);
    const CFType answer = mobiledevice_recmsg(socket, message, kAfcTimeout);
    if (!answer.get(QStringLiteral("Error")).isNull()) {
        QString xml = QString::fromUtf8(answer.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0));
        xml.replace(QLatin1Char('<'), QLatin1String("&lt;")).replace(QLatin1Char('>'), QLatin1String("&gt;"));
        // A refusal (App Store apps since iOS 8.3) leaves the connection as it was.
        throw afc_status_error(QStringLiteral("can not find %1.<br/>%2").arg(appId, xml).toStdString(), 0);
    }
}

AfcFile::~AfcFile() {
    close();
}

int AfcFile::read(char* buffer, int length) {
    if (length <= 0) {
        return 0;
    }
    try {
        return static_cast<int>(mobiledevice_afc_file_read(socket, handle, buffer, static_cast<unsigned int>(length)));
    } catch (const std::exception&) {
        return -1;
    }
}

int AfcFile::write(char const* data, int length) {
    if (length <= 0) {
        return 0;
    }
    try {
        return static_cast<int>(mobiledevice_afc_file_write(socket, handle, data, static_cast<unsigned int>(length)));
    } catch (const std::exception&) {
        return -1;
    }
}

void AfcFile::close() {
    if (handle == 0) {
        return;
    }
    try {
        mobiledevice_afc_close_file(socket, handle);
    } catch (const std::exception&) {
        // The handle is gone with the connection or already closed.
    }
    handle = 0;
}

mobiledevice_afc::mobiledevice_afc(am_device* device) : device(device), socket(0) {}

mobiledevice_afc::~mobiledevice_afc() {
    closeService();
}

void mobiledevice_afc::startService(QString appId) {
    closeService();
    if (appId.isEmpty()) {
        mobiledevice_startservice(device, "com.apple.afc", socket);
        return;
    }
    mobiledevice_startservice(device, "com.apple.mobile.house_arrest", socket);
    mobiledevice_afc_housearrest_set_pid(socket, appId);
}

void mobiledevice_afc::closeService() {
    if (socket != 0) {
        mobiledevice_closeservice(socket);
        socket = 0;
    }
}

namespace {

_AfcFileInfo infoFromTexts(QString path, const QStringList& texts) {
    _AfcFileInfo result(std::move(path));
    QString size, mtime;
    for (qsizetype i = 0; i + 1 < texts.size(); i += 2) {
        const QString& key = texts[i];
        if (key == QLatin1String("st_ifmt")) {
            result.type = texts[i + 1];
        } else if (key == QLatin1String("st_size")) {
            size = texts[i + 1];
        } else if (key == QLatin1String("st_mtime")) {
            mtime = texts[i + 1];
        }
    }
    bool ok = false;
    const qint64 bytes = size.toLongLong(&ok);
    result.size = ok ? bytes : 0;
    if (!mtime.isNull()) {
        const qint64 ns = mtime.toLongLong(&ok);
        if (ok) {
            result.mtime = QDateTime::fromMSecsSinceEpoch(ns / 1000000, Qt::UTC);
        }
    }
    return result;
}

} // namespace

_AfcFileInfo mobiledevice_afc::fileInfo(QString path) {
    return infoFromTexts(path, splitTexts(request(socket, AFC_OP_GET_FILE_INFO, devicePath(path))));
}

bool afc_is_plain_name(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

QList<_AfcFileInfo> mobiledevice_afc::lt(QString dir) {
    // A long listing is one request per entry: a cancel must not wait for all of them.
    const auto checkCancel = [this] {
        if (cancel && cancel->load()) {
            throw -1;
        }
    };
    checkCancel();
    QStringList names;
    try {
        names = mobiledevice_afc_read_dir(socket, dir);
    } catch (const afc_status_error&) {
        return {}; // the device will not list it, for instance a folder that does not exist
    }
    const QString prefix = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
    QStringList paths;
    for (const QString& name : names) {
        // Names come from the device: "../../Documents" must never become a path we act on.
        if (afc_is_plain_name(name)) {
            paths.append(prefix + name);
        }
    }
    // The device answers in order, so the info requests of a window go out together
    // and a listing costs a round trip per window instead of one per entry.
    QList<_AfcFileInfo> entries;
    for (qsizetype first = 0; first < paths.size(); first += kAfcRequestsInFlight) {
        checkCancel();
        const qsizetype count = std::min<qsizetype>(kAfcRequestsInFlight, paths.size() - first);
        QByteArray batch;
        for (qsizetype i = first; i < first + count; ++i) {
            const QByteArray payload = devicePath(paths[i]);
            batch.append(requestHeader(socket, AFC_OP_GET_FILE_INFO, payload.size()).toBytes()).append(payload);
        }
        if (mobiledevice_send_all(socket, batch.constData(), static_cast<int>(batch.size()), kAfcTimeout) !=
            batch.size()) {
            fail(QStringLiteral("send AFC header (%1) error.").arg(AFC_OP_GET_FILE_INFO));
        }
        // Every reply of the window is read before a refusal is thrown, so the stream stays in step.
        int refusal = 0;
        for (qsizetype i = first; i < first + count; ++i) {
            _AFCHeader reply;
            int status = 0;
            const QByteArray payload = mobiledevice_afc_read_data(socket, reply, &status);
            if (reply.operation == AFC_OP_STATUS) {
                // A running app's cache file may go between the listing and its info.
                if (status != 0 && status != static_cast<int>(kAfcErrObjectNotFound) && refusal == 0) {
                    refusal = status;
                }
                continue;
            }
            _AfcFileInfo info = infoFromTexts(paths[i], splitTexts(payload));
            if (info.isFile() || info.isDir()) {
                entries.append(std::move(info));
            }
        }
        if (refusal != 0) {
            throw afc_status_error(
                QStringLiteral("read AFC failed, received AFC_OP_STATUS, param1=%1.").arg(refusal).toStdString(),
                static_cast<quint64>(refusal));
        }
    }
    return entries;
}

namespace {
template <typename Op>
bool succeeds(Op op) {
    try {
        op();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
} // namespace

bool mobiledevice_afc::mkdir(QString path) {
    return succeeds([&] { mobiledevice_afc_mkdir(socket, path); });
}

bool mobiledevice_afc::del(QString path) {
    return succeeds([&] { mobiledevice_afc_remove(socket, path); });
}

bool mobiledevice_afc::rename(QString from, QString to) {
    return succeeds([&] { mobiledevice_afc_rename(socket, from, to); });
}

bool mobiledevice_afc::openFile(QString path, afc_file_mode_t mode, AfcFile& file) {
    file.close();
    try {
        const unsigned long long handle = mobiledevice_afc_open_file(socket, path, mode);
        if (handle == 0) {
            return false;
        }
        file.socket = socket;
        file.handle = handle;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool mobiledevice_afc::readFile(QString path, AfcFile& file) {
    return openFile(path, AFC_FOPEN_RDONLY, file);
}

bool mobiledevice_afc::writeFile(QString path, AfcFile& file) {
    return openFile(path, AFC_FOPEN_WRONLY, file);
}
