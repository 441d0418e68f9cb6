#include "sim/framework/simservices.h"

#include "sim/framework/protoservers.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace sim {

namespace {
// Requests to these services are a few hundred bytes; this is generous.
constexpr uint32_t kMaxFramedMessage = 4u * 1024 * 1024;
// Apps per "BrowsingApplications" message; a device sends the list in batches.
constexpr uint32_t kBrowseBatch = 4;
constexpr int kUnplugCheckMs = 200;
} // namespace

ServiceConnection::ServiceConnection(int fd, ServiceSetup setup) : fd(fd), cfg(std::move(setup)) {}

ServiceConnection::~ServiceConnection() {
    if (dead) {
        // The write side is shut; keep reading until the program closes its
        // end so that its own sends never hit a broken pipe.
        char sink[4096];
        while (true) {
            ssize_t n = ::recv(fd, sink, sizeof sink, 0);
            if (n > 0 || (n < 0 && errno == EINTR)) {
                continue;
            }
            break;
        }
    }
    ::close(fd);
}

void ServiceConnection::hangUp() {
    if (!dead.exchange(true)) {
        ::shutdown(fd, SHUT_WR);
    }
}

bool ServiceConnection::recvAll(void* buf, size_t len) {
    auto* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < len) {
        // What has arrived is taken at once; only an empty socket is waited on.
        const ssize_t n = ::recv(fd, p + got, len - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            return false;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        // Wake up now and then to notice an unplugged device: its connections
        // end like a pulled cable even while the program is not asking.
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, kUnplugCheckMs);
        if (ready == 0) {
            if (cfg.present && !cfg.present->load()) {
                hangUp();
                return false;
            }
            continue;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool ServiceConnection::sendAll(const void* buf, size_t len) {
    std::lock_guard lock(sendMutex);
    if (dead) {
        return false;
    }
    const auto* p = static_cast<const char*>(buf);
    size_t allowed = len;
    bool cut = false;
    if (cfg.dropAfterBytes >= 0 && sent + static_cast<int64_t>(len) > cfg.dropAfterBytes) {
        allowed = static_cast<size_t>(cfg.dropAfterBytes - sent);
        cut = true;
    }
    size_t done = 0;
    while (done < allowed) {
        ssize_t n = ::send(fd, p + done, allowed - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            hangUp();
            return false;
        }
        done += static_cast<size_t>(n);
    }
    sent += static_cast<int64_t>(done);
    if (cut) {
        hangUp();
        return false;
    }
    return true;
}

bool ServiceConnection::beforeReply() {
    if (cfg.replyDelayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(cfg.replyDelayMs));
    }
    if (cfg.present && !cfg.present->load()) {
        hangUp(); // unplugged: the connection goes away like the cable
    }
    return !dead;
}

Plist ServiceConnection::recvPlist(bool* wasBinary) {
    unsigned char lenBytes[4];
    if (!recvAll(lenBytes, 4)) {
        return nullptr;
    }
    const uint32_t len = (uint32_t(lenBytes[0]) << 24) | (uint32_t(lenBytes[1]) << 16) | (uint32_t(lenBytes[2]) << 8) |
                         uint32_t(lenBytes[3]);
    if (len == 0 || len > kMaxFramedMessage) {
        return nullptr;
    }
    std::string payload(len, '\0');
    if (!recvAll(payload.data(), len)) {
        return nullptr;
    }
    if (wasBinary) {
        *wasBinary = plist_is_binary(payload.data(), len) != 0;
    }
    return parsePlist(payload.data(), len);
}

bool ServiceConnection::sendPlist(plist_t node, bool binary) {
    char* data = nullptr;
    uint32_t len = 0;
    if (binary) {
        plist_to_bin(node, &data, &len);
    } else {
        plist_to_xml(node, &data, &len);
    }
    if (!data) {
        return false;
    }
    std::string frame(4 + len, '\0');
    frame[0] = char(len >> 24);
    frame[1] = char(len >> 16);
    frame[2] = char(len >> 8);
    frame[3] = char(len);
    memcpy(frame.data() + 4, data, len);
    if (binary) {
        plist_to_bin_free(data);
    } else {
        plist_to_xml_free(data);
    }
    return sendAll(frame.data(), frame.size());
}

namespace {

Plist errorReply(const char* error) {
    Plist reply(plist_new_dict());
    plist_dict_set_item(reply.get(), "Error", plist_new_string(error));
    return reply;
}

std::string appTypeOf(plist_t app) {
    std::string t = stringOf(plist_dict_get_item(app, "ApplicationType"));
    return t.empty() ? std::string("User") : t;
}

// A copy of the app limited to the requested attributes (all when none given).
plist_t appView(plist_t app, plist_t returnAttributes) {
    if (!returnAttributes || plist_get_node_type(returnAttributes) != PLIST_ARRAY ||
        plist_array_get_size(returnAttributes) == 0) {
        return plist_copy(app);
    }
    plist_t out = plist_new_dict();
    const uint32_t n = plist_array_get_size(returnAttributes);
    for (uint32_t i = 0; i < n; ++i) {
        const std::string key = stringOf(plist_array_get_item(returnAttributes, i));
        plist_t v = key.empty() ? nullptr : plist_dict_get_item(app, key.c_str());
        if (v) {
            plist_dict_set_item(out, key.c_str(), plist_copy(v));
        }
    }
    return out;
}

void serveInstallationProxy(ServiceConnection& conn) {
    while (conn.alive()) {
        bool binary = false;
        Plist request = conn.recvPlist(&binary);
        if (!request) {
            return;
        }
        if (!conn.beforeReply()) {
            return;
        }
        const std::string command = stringOf(dictPath(request.get(), {"Command"}));
        plist_t options = dictPath(request.get(), {"ClientOptions"});
        const std::string wantedType = stringOf(dictPath(options, {"ApplicationType"}));
        plist_t attrs = dictPath(options, {"ReturnAttributes"});

        Plist apps = readPlistFile(conn.setup().deviceDir + QStringLiteral("/apps.plist"));
        std::vector<plist_t> chosen;
        if (apps && plist_get_node_type(apps.get()) == PLIST_ARRAY) {
            const uint32_t n = plist_array_get_size(apps.get());
            for (uint32_t i = 0; i < n; ++i) {
                plist_t app = plist_array_get_item(apps.get(), i);
                if (plist_get_node_type(app) != PLIST_DICT) {
                    continue;
                }
                if (!wantedType.empty() && wantedType != "Any" && appTypeOf(app) != wantedType) {
                    continue;
                }
                chosen.push_back(app);
            }
        }

        if (command == "Browse") {
            const auto total = static_cast<uint32_t>(chosen.size());
            for (uint32_t start = 0; start < total; start += kBrowseBatch) {
                const uint32_t amount = std::min(kBrowseBatch, total - start);
                Plist msg(plist_new_dict());
                plist_t list = plist_new_array();
                for (uint32_t i = start; i < start + amount; ++i) {
                    plist_array_append_item(list, appView(chosen[i], attrs));
                }
                plist_dict_set_item(msg.get(), "CurrentAmount", plist_new_uint(amount));
                plist_dict_set_item(msg.get(), "CurrentIndex", plist_new_uint(start));
                plist_dict_set_item(msg.get(), "CurrentList", list);
                plist_dict_set_item(msg.get(), "Status", plist_new_string("BrowsingApplications"));
                plist_dict_set_item(msg.get(), "Total", plist_new_uint(total));
                if (!conn.sendPlist(msg.get(), binary)) {
                    return;
                }
            }
            Plist done(plist_new_dict());
            plist_dict_set_item(done.get(), "Status", plist_new_string("Complete"));
            if (!conn.sendPlist(done.get(), binary)) {
                return;
            }
        } else if (command == "Lookup") {
            plist_t ids = dictPath(options, {"BundleIDs"});
            Plist msg(plist_new_dict());
            plist_t result = plist_new_dict();
            for (plist_t app : chosen) {
                const std::string id = stringOf(plist_dict_get_item(app, "CFBundleIdentifier"));
                if (!id.empty() && (!ids || arrayHasString(ids, id))) {
                    plist_dict_set_item(result, id.c_str(), appView(app, attrs));
                }
            }
            plist_dict_set_item(msg.get(), "LookupResult", result);
            plist_dict_set_item(msg.get(), "Status", plist_new_string("Complete"));
            if (!conn.sendPlist(msg.get(), binary)) {
                return;
            }
        } else {
            Plist reply = errorReply("UnknownCommand");
            if (!conn.sendPlist(reply.get(), binary)) {
                return;
            }
        }
    }
}

// A bundle identifier names a folder: refuse anything that could leave files/.
bool plausibleBundleId(const std::string& id) {
    if (id.empty() || id.size() > 255 || id == "." || id == "..") {
        return false;
    }
    for (char c : id) {
        if (c == '/' || c == '\0' || c == '\\') {
            return false;
        }
    }
    return true;
}

bool appListed(const QString& deviceDir, const std::string& id) {
    Plist apps = readPlistFile(deviceDir + QStringLiteral("/apps.plist"));
    if (!apps || plist_get_node_type(apps.get()) != PLIST_ARRAY) {
        return false;
    }
    const uint32_t n = plist_array_get_size(apps.get());
    for (uint32_t i = 0; i < n; ++i) {
        if (stringOf(dictPath(plist_array_get_item(apps.get(), i), {"CFBundleIdentifier"})) == id) {
            return true;
        }
    }
    return false;
}

// Since iOS 8.3 a device refuses to vend the containers of App Store apps.
// Sim.VendContainer false models that for every app; an app's own
// SimVendContainer in apps.plist, when present, decides for that app.
bool containerVendable(const QString& deviceDir, const std::string& id) {
    Plist apps = readPlistFile(deviceDir + QStringLiteral("/apps.plist"));
    const uint32_t n = apps && plist_get_node_type(apps.get()) == PLIST_ARRAY ? plist_array_get_size(apps.get()) : 0;
    for (uint32_t i = 0; i < n; ++i) {
        plist_t app = plist_array_get_item(apps.get(), i);
        if (stringOf(dictPath(app, {"CFBundleIdentifier"})) == id && dictPath(app, {"SimVendContainer"})) {
            return boolAt(app, {"SimVendContainer"}, true);
        }
    }
    Plist device = readPlistFile(deviceDir + QStringLiteral("/device.plist"));
    return boolAt(device.get(), {"Sim", "VendContainer"}, true);
}

void serveHouseArrest(ServiceConnection& conn) {
    while (conn.alive()) {
        bool binary = false;
        Plist request = conn.recvPlist(&binary);
        if (!request) {
            return;
        }
        if (!conn.beforeReply()) {
            return;
        }
        const std::string command = stringOf(dictPath(request.get(), {"Command"}));
        const std::string id = stringOf(dictPath(request.get(), {"Identifier"}));
        if (command != "VendContainer" && command != "VendDocuments") {
            Plist reply = errorReply("UnknownCommand");
            if (!conn.sendPlist(reply.get(), binary)) {
                return;
            }
            continue;
        }
        if (!plausibleBundleId(id) || !appListed(conn.setup().deviceDir, id)) {
            Plist reply = errorReply("ApplicationLookupFailed");
            if (!conn.sendPlist(reply.get(), binary)) {
                return;
            }
            continue;
        }
        if (arrayHasString(conn.setup().vendFail.get(), id) || !containerVendable(conn.setup().deviceDir, id)) {
            Plist reply = errorReply("InstallationLookupFailed");
            if (!conn.sendPlist(reply.get(), binary)) {
                return;
            }
            continue;
        }
        QString root = conn.setup().deviceDir + QStringLiteral("/files/AppDomain-") + QString::fromStdString(id);
        if (command == "VendDocuments") {
            root += QStringLiteral("/Documents");
        }
        QDir().mkpath(root); // an installed app always has its container
        Plist ok(plist_new_dict());
        plist_dict_set_item(ok.get(), "Status", plist_new_string("Complete"));
        if (!conn.sendPlist(ok.get(), binary)) {
            return;
        }
        serveAfc(conn, root, conn.setup().deviceDir + QStringLiteral("/afc-trace.log"));
        return;
    }
}

// SpringBoard services, as libimobiledevice's sbservices.c asks them: each
// request { "command": "getIconPNGData", "bundleId": id } is answered with
// { "pngData": <the icon> }. The simulated home screen shows an app's artwork
// (files/AppDomain-<id>/iTunesArtwork), read here whether or not house arrest
// would vend the container. Not confirmed with a real device: the answer for an
// app that is not installed or has no icon (here an empty dictionary), and for
// an unknown command (here { "Error": "UnknownCommand" }).
// Sim.Faults.ReplaceReply.getIconPNGData is sent instead of the answer.
void serveSpringBoard(ServiceConnection& conn) {
    while (conn.alive()) {
        bool binary = false;
        Plist request = conn.recvPlist(&binary);
        if (!request || !conn.beforeReply()) {
            return;
        }
        const std::string id = stringOf(dictPath(request.get(), {"bundleId"}));
        Plist reply(plist_new_dict());
        if (stringOf(dictPath(request.get(), {"command"})) != "getIconPNGData") {
            reply = errorReply("UnknownCommand");
        } else if (Plist replaced = replacedReply(conn.setup().deviceDir, "getIconPNGData")) {
            reply = std::move(replaced);
        } else if (plausibleBundleId(id) && appListed(conn.setup().deviceDir, id)) {
            QFile icon(conn.setup().deviceDir + QStringLiteral("/files/AppDomain-") + QString::fromStdString(id) +
                       QStringLiteral("/iTunesArtwork"));
            if (icon.open(QIODevice::ReadOnly)) {
                const QByteArray png = icon.readAll();
                plist_dict_set_item(reply.get(), "pngData", plist_new_data(png.constData(), uint64_t(png.size())));
            }
        }
        if (!conn.sendPlist(reply.get(), binary)) {
            return;
        }
    }
}

} // namespace

void serveInBackground(int fd, const std::string& serviceName, ServiceSetup setup) {
    std::thread([fd, serviceName, setup = std::move(setup)]() mutable {
        const QString deviceDir = setup.deviceDir;
        ServiceConnection conn(fd, std::move(setup));
        if (serviceName == "com.apple.afc") {
            const QString root = deviceDir + QStringLiteral("/files/MediaDomain/Media");
            QDir().mkpath(root);
            serveAfc(conn, root, deviceDir + QStringLiteral("/afc-trace.log"));
        } else if (serviceName == "com.apple.mobile.house_arrest") {
            serveHouseArrest(conn);
        } else if (serviceName == "com.apple.mobile.installation_proxy") {
            serveInstallationProxy(conn);
        } else if (serviceName == "com.apple.mobile.notification_proxy") {
            serveNotificationProxy(conn);
        } else if (serviceName == "com.apple.mobilebackup2") {
            serveMobileBackup2(conn);
        } else if (serviceName == "com.apple.mobilesync") {
            serveMobileSync(conn);
        } else if (serviceName == "com.apple.mobile.file_relay") {
            serveFileRelay(conn);
        } else if (serviceName == "com.apple.springboardservices") {
            serveSpringBoard(conn);
        }
    }).detach();
}

} // namespace sim
