#include "services/mobiledevice_filerelay.h"

#include "device/cftype.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <zlib.h>

namespace {

constexpr int kArchiveWaitTimeout = 60000;
constexpr int kMaxNameSize = 4096;
constexpr qint64 kMaxMembers = 1000000;

[[noreturn]] void fail(const QString& text) {
    throw std::runtime_error(text.toStdString());
}

// The archive's bytes as they leave gunzip, pulled from the socket on demand.
class GzipSocketReader {
public:
    GzipSocketReader(unsigned int socket, qint64 limit) : socket(static_cast<int>(socket)), limit(limit) {
        if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) { // 16: gzip framing only
            fail(QStringLiteral("file relay: cannot start decompression."));
        }
    }
    ~GzipSocketReader() { inflateEnd(&z); }
    GzipSocketReader(const GzipSocketReader&) = delete;
    GzipSocketReader& operator=(const GzipSocketReader&) = delete;

    // Exactly `length` bytes, or throws.
    void read(char* out, qint64 length) {
        if (total + length > limit) {
            fail(QStringLiteral("file relay archive unpacks to more than %1 bytes.").arg(limit));
        }
        z.next_out = reinterpret_cast<Bytef*>(out);
        while (length > 0) {
            const auto chunk = static_cast<uInt>(std::min<qint64>(length, 1 << 30));
            z.avail_out = chunk;
            while (z.avail_out > 0) {
                if (ended) {
                    fail(QStringLiteral("file relay archive is cut short."));
                }
                if (z.avail_in == 0) {
                    fill();
                }
                const int r = inflate(&z, Z_NO_FLUSH);
                if (r == Z_STREAM_END) {
                    ended = true;
                } else if (r != Z_OK && r != Z_BUF_ERROR) {
                    fail(QStringLiteral("file relay archive is not valid gzip data."));
                }
            }
            length -= chunk;
            total += chunk;
        }
    }
    void skip(qint64 length) {
        char sink[8192];
        while (length > 0) {
            const qint64 n = std::min<qint64>(length, sizeof sink);
            read(sink, n);
            length -= n;
        }
    }

private:
    void fill() {
        pollfd p{socket, POLLIN, 0};
        ssize_t n = -1;
        for (;;) {
            const int r = ::poll(&p, 1, kArchiveWaitTimeout);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                break;
            }
            n = ::recv(socket, in, sizeof in, 0);
            if (!(n < 0 && errno == EINTR)) {
                break;
            }
        }
        if (n <= 0) {
            fail(QStringLiteral("file relay archive is cut short."));
        }
        z.next_in = reinterpret_cast<Bytef*>(in);
        z.avail_in = static_cast<uInt>(n);
    }

    z_stream z{};
    int socket;
    qint64 limit;
    qint64 total = 0;
    bool ended = false;
    char in[65536];
};

// A number of a cpio header: octal digits ("070707" archives) or hex digits
// ("070701"/"070702"); -1 when the field holds anything else.
qint64 field(const QByteArray& header, int offset, int size, int base) {
    const QByteArray text = header.mid(offset, size);
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, base);
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return -1;
        }
    }
    return ok && value >= 0 ? value : -1;
}

// The member's path relative to the archive root: "./" prefixes dropped, "" for the root.
QString memberPath(const QByteArray& rawName) {
    const QString name = QString::fromUtf8(rawName);
    if (name.startsWith(QLatin1Char('/')) || rawName.contains('\0')) {
        fail(QStringLiteral("file relay archive holds an unsafe name: %1").arg(name));
    }
    QStringList parts;
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("..")) {
            fail(QStringLiteral("file relay archive holds an unsafe name: %1").arg(name));
        }
        if (part != QLatin1String(".")) {
            parts.append(part);
        }
    }
    return parts.join(QLatin1Char('/'));
}

} // namespace

void mobiledevice_filerelay_start(am_device* device, unsigned int& socket) {
    mobiledevice_startservice(device, "com.apple.mobile.file_relay", socket);
}

void mobiledevice_filerelay(unsigned int socket, QStringList sources) {
    CFType list = CFType::createCFArray();
    for (const QString& source : sources) {
        list.append(CFType::createCFString(source));
    }
    CFType request = CFType::createCFDictionary();
    request.put(QStringLiteral("Sources"), list);
    mobiledevice_sendmsg(socket, request, false, 60000);
    const CFType answer = mobiledevice_recmsg(socket, request, kFileRelayAnswerTimeout);
    if (answer.get(QStringLiteral("Status"))
            .CFStringQString()
            .compare(QLatin1String("Acknowledged"), Qt::CaseInsensitive) != 0) {
        fail(QStringLiteral("invalid feedback.\n%1")
                 .arg(QString::fromUtf8(answer.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0))));
    }
}

QStringList mobiledevice_filerelay_extract(unsigned int socket, QString destination, qint64 maxBytes) {
    const QFileInfo target(destination);
    if (target.exists() || target.isSymLink()) {
        fail(QStringLiteral("file relay: %1 already exists.").arg(destination));
    }
    QTemporaryDir work(target.absolutePath() + QStringLiteral("/.filerelay-XXXXXX"));
    if (!work.isValid()) {
        fail(QStringLiteral("file relay: cannot create a folder beside %1.").arg(destination));
    }
    const QDir root(work.path());
    GzipSocketReader archive(socket, maxBytes);
    QStringList written;
    for (qint64 members = 0;; ++members) {
        if (members > kMaxMembers) {
            fail(QStringLiteral("file relay archive holds too many members."));
        }
        QByteArray header(6, '\0');
        archive.read(header.data(), 6);
        const bool odc = header == "070707";
        if (!odc && header != "070701" && header != "070702") {
            fail(QStringLiteral("file relay archive is not a cpio archive."));
        }
        const int headerSize = odc ? 76 : 110;
        header.resize(headerSize);
        archive.read(header.data() + 6, headerSize - 6);
        const qint64 mode = odc ? field(header, 18, 6, 8) : field(header, 14, 8, 16);
        const qint64 nameSize = odc ? field(header, 59, 6, 8) : field(header, 94, 8, 16);
        const qint64 fileSize = odc ? field(header, 65, 11, 8) : field(header, 54, 8, 16);
        if (mode < 0 || fileSize < 0 || nameSize < 2 || nameSize > kMaxNameSize) {
            fail(QStringLiteral("file relay archive has a damaged member header."));
        }
        // newc pads the name (after the header) and the data to 4 bytes.
        const auto pad = [odc](qint64 n) { return odc ? 0 : (4 - n % 4) % 4; };
        QByteArray name(nameSize + pad(headerSize + nameSize), '\0');
        archive.read(name.data(), name.size());
        if (name.at(nameSize - 1) != '\0') {
            fail(QStringLiteral("file relay archive has a damaged member name."));
        }
        name.truncate(nameSize - 1);
        if (name == "TRAILER!!!") {
            break;
        }
        const QString path = memberPath(name);
        const qint64 type = mode & 0170000;
        if (path.isEmpty() || (type != 0100000 && type != 0040000)) {
            archive.skip(fileSize + pad(fileSize)); // the root, links, devices: nothing to write
            continue;
        }
        if (type == 0040000) {
            if (!root.mkpath(path)) {
                fail(QStringLiteral("file relay: cannot create the folder %1.").arg(path));
            }
            archive.skip(fileSize + pad(fileSize));
            continue;
        }
        QFile out(root.filePath(path));
        if (!root.mkpath(QFileInfo(path).path()) || QFileInfo(out.fileName()).isSymLink() ||
            !out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            fail(QStringLiteral("file relay: cannot write %1.").arg(path));
        }
        char buffer[8192];
        for (qint64 left = fileSize; left > 0;) {
            const qint64 n = std::min<qint64>(left, sizeof buffer);
            archive.read(buffer, n);
            if (out.write(buffer, n) != n) {
                fail(QStringLiteral("file relay: cannot write %1.").arg(path));
            }
            left -= n;
        }
        archive.skip(pad(fileSize));
        if (!out.flush()) {
            fail(QStringLiteral("file relay: cannot write %1.").arg(path));
        }
        written.append(path);
    }
    if (!QDir().rename(work.path(), destination)) {
        fail(QStringLiteral("file relay: cannot move the unpacked files to %1.").arg(destination));
    }
    work.setAutoRemove(false);
    return written;
}
