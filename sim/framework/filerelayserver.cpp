// The device side of the file relay: { "Sources": [names] } is answered with
// { "Status": "Acknowledged" }, then one gzip-compressed cpio archive of the
// sources' files ("070707" headers, or "070701" with Sim.Faults.FileRelayFormat
// "newc"), then the device closes the connection. Devices from iOS 8 on answer
// { "Error": "PermissionDenied" }; an unknown source gets
// { "Error": "InvalidSource" }. Sim.Faults.FileRelayExtra { name : text } adds
// members with those names (hostile ones included) to the archive.

#include "sim/framework/protoservers.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <map>
#include <set>
#include <zlib.h>

namespace sim {

namespace {

struct RelaySource {
    const char* name;
    const char* localDir;   // below files/
    const char* archiveDir; // where the device keeps it
};

constexpr RelaySource kSources[] = {
    {"UserDatabases", "HomeDomain/Library/AddressBook", "var/mobile/Library/AddressBook"},
    {"UserDatabases", "HomeDomain/Library/Calendar", "var/mobile/Library/Calendar"},
    {"UserDatabases", "HomeDomain/Library/CallHistoryDB", "var/mobile/Library/CallHistoryDB"},
    {"UserDatabases", "HomeDomain/Library/SMS", "var/mobile/Library/SMS"},
    {"CrashReporter", "HomeDomain/Library/Logs/CrashReporter", "var/mobile/Library/Logs/CrashReporter"},
    {"Caches", "RootDomain/Library/Caches", "var/root/Library/Caches"},
    {"SystemConfiguration", "SystemPreferencesDomain/SystemConfiguration", "var/preferences/SystemConfiguration"},
};

// Compresses into the connection as the archive is written.
class GzipSink {
public:
    explicit GzipSink(ServiceConnection& conn) : conn(conn) {
        ok = deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~GzipSink() { deflateEnd(&z); }
    GzipSink(const GzipSink&) = delete;
    GzipSink& operator=(const GzipSink&) = delete;

    bool write(const char* data, size_t length, int flush = Z_NO_FLUSH) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z.avail_in = static_cast<uInt>(length);
        do {
            unsigned char out[65536];
            z.next_out = out;
            z.avail_out = sizeof out;
            if (deflate(&z, flush) == Z_STREAM_ERROR) {
                return ok = false;
            }
            const size_t produced = sizeof out - z.avail_out;
            if (produced > 0 && !conn.sendAll(out, produced)) {
                return ok = false;
            }
        } while (z.avail_out == 0);
        return ok;
    }
    bool finish() { return write(nullptr, 0, Z_FINISH); }

    bool ok;

private:
    ServiceConnection& conn;
    z_stream z{};
};

class CpioWriter {
public:
    CpioWriter(GzipSink& sink, bool newc) : sink(sink), newc(newc) {}

    bool member(const std::string& name, unsigned mode, const QByteArray& data) {
        const std::string field = newc ? newcHeader(name, mode, data.size()) : odcHeader(name, mode, data.size());
        std::string bytes = field + name + '\0';
        bytes.append(pad(bytes.size()), '\0');
        bytes.append(data.constData(), static_cast<size_t>(data.size()));
        bytes.append(pad(static_cast<size_t>(data.size())), '\0');
        return sink.write(bytes.data(), bytes.size());
    }
    bool trailer() { return member("TRAILER!!!", 0, QByteArray()); }

private:
    size_t pad(size_t n) const { return newc ? (4 - n % 4) % 4 : 0; }
    std::string odcHeader(const std::string& name, unsigned mode, qsizetype size) {
        char h[77];
        snprintf(h, sizeof h, "070707%06o%06o%06o%06o%06o%06o%06o%011o%06o%011llo", 0u, ++ino % 0777777, mode, 501u,
                 501u, 1u, 0u, 0u, static_cast<unsigned>(name.size() + 1), static_cast<unsigned long long>(size));
        return std::string(h, 76);
    }
    std::string newcHeader(const std::string& name, unsigned mode, qsizetype size) {
        char h[111];
        snprintf(h, sizeof h, "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", ++ino, mode, 501u, 501u, 1u,
                 0u, static_cast<unsigned>(size), 0u, 0u, 0u, 0u, static_cast<unsigned>(name.size() + 1), 0u);
        return std::string(h, 110);
    }

    GzipSink& sink;
    bool newc;
    unsigned ino = 0;
};

// Each folder on the way to `path` once, then the entry itself.
bool addPath(CpioWriter& cpio, std::set<std::string>& done, const std::string& path, bool dir, const QByteArray& data) {
    for (size_t slash = path.find('/', 2); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (done.insert(parent).second && !cpio.member(parent, 040755, QByteArray())) {
            return false;
        }
    }
    if (!done.insert(path).second) {
        return true;
    }
    return cpio.member(path, dir ? 040755 : 0100644, data);
}

int majorVersion(plist_t device) {
    return QString::fromStdString(stringOf(dictPath(device, {"Lockdown", "", "ProductVersion"})))
        .section(QLatin1Char('.'), 0, 0)
        .toInt();
}

bool refuse(ServiceConnection& conn, const char* error) {
    Plist reply(plist_new_dict());
    plist_dict_set_item(reply.get(), "Error", plist_new_string(error));
    return conn.sendPlist(reply.get());
}

} // namespace

void serveFileRelay(ServiceConnection& conn) {
    Plist request = recvCapturedFrame(conn);
    if (!request || !conn.beforeReply()) {
        return;
    }
    const QString deviceDir = conn.setup().deviceDir;
    Plist device = readPlistFile(deviceDir + QStringLiteral("/device.plist"));
    if (Plist replaced = replacedReply(deviceDir, "Sources")) {
        conn.sendPlist(replaced.get());
        return;
    }
    if (majorVersion(device.get()) >= 8) {
        refuse(conn, "PermissionDenied");
        return;
    }
    plist_t sources = dictPath(request.get(), {"Sources"});
    std::vector<const RelaySource*> chosen;
    const uint32_t count = sources && plist_get_node_type(sources) == PLIST_ARRAY ? plist_array_get_size(sources) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string name = stringOf(plist_array_get_item(sources, i));
        const size_t before = chosen.size();
        for (const RelaySource& s : kSources) {
            if (name == s.name) {
                chosen.push_back(&s);
            }
        }
        if (chosen.size() == before) {
            refuse(conn, "InvalidSource");
            return;
        }
    }
    if (chosen.empty()) {
        refuse(conn, "InvalidSource");
        return;
    }
    Plist ack(plist_new_dict());
    plist_dict_set_item(ack.get(), "Status", plist_new_string("Acknowledged"));
    if (!conn.sendPlist(ack.get())) {
        return;
    }

    GzipSink gzip(conn);
    CpioWriter cpio(gzip, stringOf(dictPath(device.get(), {"Sim", "Faults", "FileRelayFormat"})) == "newc");
    std::set<std::string> done;
    bool ok = gzip.ok && cpio.member(".", 040755, QByteArray());
    for (const RelaySource* s : chosen) {
        const QString local = deviceDir + QStringLiteral("/files/") + QLatin1String(s->localDir);
        if (!QFileInfo(local).isDir() || QFileInfo(local).isSymLink()) {
            continue;
        }
        const std::string base = std::string("./") + s->archiveDir;
        ok = ok && addPath(cpio, done, base, true, QByteArray());
        QDirIterator it(local, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (ok && it.hasNext()) {
            const QFileInfo info(it.next());
            if (info.isSymLink()) {
                continue; // the device's own links are not followed out of the source
            }
            const std::string path = base + "/" + QDir(local).relativeFilePath(info.filePath()).toStdString();
            QByteArray data;
            if (info.isFile()) {
                QFile f(info.filePath());
                if (!f.open(QIODevice::ReadOnly)) {
                    continue;
                }
                data = f.readAll();
            }
            ok = addPath(cpio, done, path, info.isDir(), data);
        }
    }
    plist_t extra = dictPath(device.get(), {"Sim", "Faults", "FileRelayExtra"});
    if (extra && plist_get_node_type(extra) == PLIST_DICT) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(extra, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(extra, it, &key, &value);
            if (!key) {
                break;
            }
            ok = ok && cpio.member(key, 0100644, QByteArray::fromStdString(stringOf(value)));
            free(key);
        }
        free(it);
    }
    if (ok && cpio.trailer()) {
        gzip.finish();
    }
}

} // namespace sim
