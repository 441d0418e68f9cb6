#include "sim/usbmuxd/lockdownserver.h"

#include <QDir>
#include <QFile>
#include <QUuid>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

constexpr int kUnplugCheckMs = 200;
constexpr uint32_t kMaxLockdownMessage = 1024 * 1024;
constexpr int kPairingKeyBits = 2048;

std::mutex g_pendingMutex;
std::map<std::pair<uint32_t, uint16_t>, PendingService> g_pending;
uint16_t g_nextPort = 49152;

// Serialises key generation and pairing-file rewrites across connections.
std::mutex g_pairMutex;

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

QString pairingDir(const QString& deviceDir) {
    return deviceDir + QStringLiteral("/lockdown");
}

// The device's own key pair, made on first use and kept in its folder.
std::string deviceKeyPem(const QString& deviceDir) {
    std::lock_guard lock(g_pairMutex);
    const QString path = pairingDir(deviceDir) + QStringLiteral("/device-key.pem");
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        return file.readAll().toStdString();
    }
    PkeyPtr key(EVP_RSA_gen(kPairingKeyBits));
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!key || !bio || !PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
        return std::string();
    }
    const std::string pem = bioText(bio.get());
    QDir().mkpath(pairingDir(deviceDir));
    QFile out(path + QStringLiteral(".tmp"));
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(pem.data(), static_cast<qint64>(pem.size())) != qint64(pem.size()) || !out.flush() ||
        ::fsync(out.handle()) != 0) {
        return std::string();
    }
    out.close();
    ::rename(QFile::encodeName(out.fileName()).constData(), QFile::encodeName(path).constData());
    return pem;
}

PkeyPtr readKey(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return PkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// The public half as a device hands it out: PEM of the PKCS#1 RSA public key.
std::string devicePublicKeyPem(const QString& deviceDir) {
    PkeyPtr key = readKey(deviceKeyPem(deviceDir));
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!key || !bio) {
        return std::string();
    }
    OSSL_ENCODER_CTX* ctx =
        OSSL_ENCODER_CTX_new_for_pkey(key.get(), EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
    const bool ok = ctx && OSSL_ENCODER_to_bio(ctx, bio.get());
    OSSL_ENCODER_CTX_free(ctx);
    return ok ? bioText(bio.get()) : std::string();
}

std::string dataOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DATA) {
        return std::string();
    }
    char* bytes = nullptr;
    uint64_t len = 0;
    plist_get_data_val(node, &bytes, &len);
    std::string out(bytes ? bytes : "", bytes ? static_cast<size_t>(len) : 0);
    free(bytes);
    return out;
}

// A host id becomes a file name: only its hex digits and dashes count.
QString hostFile(const QString& deviceDir, const std::string& hostId) {
    std::string safe;
    for (char c : hostId) {
        if (std::isxdigit(static_cast<unsigned char>(c)) || c == '-') {
            safe += c;
        }
    }
    if (safe.empty() || safe.size() > 64) {
        return QString();
    }
    return pairingDir(deviceDir) + QLatin1Char('/') + QString::fromLatin1(safe.c_str()) + QStringLiteral(".plist");
}

Plist readHostRecord(const QString& deviceDir, const std::string& hostId) {
    const QString path = hostFile(deviceDir, hostId);
    return path.isEmpty() ? nullptr : readPlistFile(path);
}

// Moves bytes between the TLS side (the host) and the plain side (the service thread).
void relayTls(SSL* ssl, int tlsFd, int plainFd, const std::shared_ptr<std::atomic<bool>>& present) {
    char buf[65536];
    while (!present || present->load()) {
        pollfd pfds[2] = {{tlsFd, POLLIN, 0}, {plainFd, POLLIN, 0}};
        const int ready = SSL_pending(ssl) > 0 ? 1 : ::poll(pfds, 2, kUnplugCheckMs);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (SSL_pending(ssl) > 0 || (pfds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const int n = SSL_read(ssl, buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            for (int done = 0; done < n;) {
                const ssize_t w = ::send(plainFd, buf + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
                if (w <= 0) {
                    return;
                }
                done += static_cast<int>(w);
            }
        }
        if (pfds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(plainFd, buf, sizeof buf, 0);
            if (n <= 0 || SSL_write(ssl, buf, static_cast<int>(n)) != n) {
                return;
            }
        }
    }
}

// The byte channel of one lockdown connection: plain at first, TLS inside a session.
class Channel {
public:
    Channel(int fd, std::shared_ptr<std::atomic<bool>> present) : fd(fd), present(std::move(present)) {}
    ~Channel() {
        ssl.reset();
        ::close(fd);
    }

    bool waitReadable() {
        while (true) {
            if (ssl && SSL_pending(ssl.get()) > 0) {
                return true;
            }
            pollfd pfd{fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, kUnplugCheckMs);
            if (!present->load()) {
                return false; // unplugged: the connection goes like the cable
            }
            if (ready > 0) {
                return true;
            }
            if (ready < 0 && errno != EINTR) {
                return false;
            }
        }
    }

    bool readAll(void* buf, size_t len) {
        auto* p = static_cast<char*>(buf);
        size_t got = 0;
        while (got < len) {
            if (!waitReadable()) {
                return false;
            }
            ssize_t n;
            if (ssl) {
                n = SSL_read(ssl.get(), p + got, static_cast<int>(std::min<size_t>(len - got, 1 << 20)));
            } else {
                n = ::recv(fd, p + got, len - got, 0);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
            }
            if (n <= 0) {
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }

    bool writeAll(const void* buf, size_t len) {
        const auto* p = static_cast<const char*>(buf);
        size_t done = 0;
        while (done < len) {
            ssize_t n;
            if (ssl) {
                n = SSL_write(ssl.get(), p + done, static_cast<int>(std::min<size_t>(len - done, 1 << 20)));
            } else {
                n = ::send(fd, p + done, len - done, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
            }
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    Plist recv() {
        unsigned char head[4];
        if (!readAll(head, 4)) {
            return nullptr;
        }
        const uint32_t len = (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) | head[3];
        if (len == 0 || len > kMaxLockdownMessage) {
            return nullptr;
        }
        std::string payload(len, '\0');
        if (!readAll(payload.data(), len)) {
            return nullptr;
        }
        return parsePlist(payload.data(), payload.size());
    }

    bool send(plist_t node) {
        char* xml = nullptr;
        uint32_t len = 0;
        plist_to_xml(node, &xml, &len);
        if (!xml) {
            return false;
        }
        const unsigned char head[4] = {static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
                                       static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
        const bool ok = writeAll(head, 4) && writeAll(xml, len);
        plist_to_xml_free(xml);
        return ok;
    }

    // The device's side of the session handshake; TLS 1.2 or newer, as current
    // devices require, unless `minVersion` lowers it (hosts offer an iOS 9
    // device no more than TLS 1.0).
    bool startTls(const std::string& certPem, const std::string& keyPem, const std::vector<std::string>& hostCerts,
                  int minVersion = TLS1_2_VERSION) {
        SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
        if (!ctx) {
            return false;
        }
        SSL_CTX_set_min_proto_version(ctx.get(), minVersion);
        // Pairing certificates are the host's making; a phone takes them as they come.
        SSL_CTX_set_security_level(ctx.get(), 0);
        SSL_CTX_set_num_tickets(ctx.get(), 0);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
        BioPtr certBio(BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size())));
        X509Ptr cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
        PkeyPtr key = readKey(keyPem);
        if (!cert || !key || SSL_CTX_use_certificate(ctx.get(), cert.get()) != 1 ||
            SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1 || SSL_CTX_check_private_key(ctx.get()) != 1) {
            return false;
        }
        ssl.reset(SSL_new(ctx.get()));
        if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) {
            ssl.reset();
            ERR_clear_error();
            return false;
        }
        if (!hostCerts.empty()) {
            // A host that presents none of the certificates it paired with is not that host.
            X509Ptr peer(SSL_get1_peer_certificate(ssl.get()));
            bool known = false;
            for (const std::string& pem : hostCerts) {
                BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
                X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
                known = known || (cert && peer && X509_cmp(cert.get(), peer.get()) == 0);
            }
            if (!known) {
                ssl.reset();
                return false;
            }
        }
        return true;
    }

    // After StopSession the host says close_notify and goes on in the clear.
    void endTls() {
        if (!ssl) {
            return;
        }
        char sink[64];
        if (waitReadable()) {
            SSL_read(ssl.get(), sink, sizeof sink); // consumes the host's close_notify
        }
        SSL_set_quiet_shutdown(ssl.get(), 1);
        SSL_shutdown(ssl.get());
        ssl.reset();
        ERR_clear_error();
    }

    bool inTls() const { return static_cast<bool>(ssl); }

    // Relays the TLS stream to a plain socket until either side ends.
    void relay(int plainFd) {
        if (ssl) {
            relayTls(ssl.get(), fd, plainFd, present);
        }
    }

private:
    int fd;
    std::shared_ptr<std::atomic<bool>> present;
    SslPtr ssl;
};

Plist reply(const std::string& request) {
    Plist r(plist_new_dict());
    plist_dict_set_item(r.get(), "Request", plist_new_string(request.c_str()));
    return r;
}

Plist errorReply(const std::string& request, const std::string& error) {
    Plist r = reply(request);
    plist_dict_set_item(r.get(), "Error", plist_new_string(error.c_str()));
    return r;
}

bool isKnownService(const std::string& name) {
    return name == "com.apple.afc" || name == "com.apple.mobile.house_arrest" ||
           name == "com.apple.mobile.installation_proxy" || name == "com.apple.mobile.notification_proxy" ||
           name == "com.apple.mobilebackup2" || name == "com.apple.mobilesync" ||
           name == "com.apple.mobile.file_relay" || name == "com.apple.springboardservices";
}

// What the service threads need, as the framework stand-in copies it at service start.
ServiceSetup setupFor(const MuxDevice& device, plist_t plist) {
    ServiceSetup setup;
    setup.deviceDir = device.dir;
    setup.present = device.present;
    setup.dropAfterBytes = intAt(plist, {"Sim", "Faults", "DropAfterBytes"}, -1);
    setup.replyDelayMs =
        static_cast<int>(std::clamp<int64_t>(intAt(plist, {"Sim", "Faults", "ReplyDelayMs"}, 0), 0, 600000));
    setup.traceAfc = boolAt(plist, {"Sim", "TraceAfc"}, false);
    if (plist_t vf = dictPath(plist, {"Sim", "Faults", "VendContainerFail"})) {
        setup.vendFail.reset(plist_copy(vf));
    }
    if (plist_t extra = dictPath(plist, {"Sim", "Faults", "AfcListExtra"})) {
        setup.afcListExtra.reset(plist_copy(extra));
    }
    setup.afcDotDot = boolAt(plist, {"Sim", "Faults", "AfcDotDot"}, false);
    if (plist_t refused = dictPath(plist, {"Sim", "Faults", "AfcRemoveRefused"})) {
        setup.afcRemoveRefused.reset(plist_copy(refused));
    }
    return setup;
}

// One lockdown conversation with the host.
class Lockdown {
public:
    Lockdown(int fd, const MuxDevice& device) : channel(fd, device.present), device(device) {}

    void run() {
        while (true) {
            Plist request = channel.recv();
            if (!request || plist_get_node_type(request.get()) != PLIST_DICT) {
                return;
            }
            Plist device = readPlistFile(this->device.dir + QStringLiteral("/device.plist"));
            if (!device || !boolAt(device.get(), {"Sim", "Connected"}, true)) {
                return;
            }
            const std::string name = stringOf(plist_dict_get_item(request.get(), "Request"));
            Plist answer;
            const std::string injected =
                stringOf(dictPath(device.get(), {"Sim", "Faults", "LockdownError", name.c_str()}));
            if (!injected.empty()) {
                answer = errorReply(name, injected);
            } else if (name == "QueryType") {
                answer = reply(name);
                plist_dict_set_item(answer.get(), "Type", plist_new_string("com.apple.mobile.lockdown"));
            } else if (name == "GetValue") {
                answer = getValue(request.get(), device.get());
            } else if (name == "SetValue") {
                answer = setValue(request.get());
            } else if (name == "Pair") {
                answer = pair(request.get(), device.get());
            } else if (name == "ValidatePair") {
                const std::string host = stringOf(dictPath(request.get(), {"PairRecord", "HostID"}));
                answer = readHostRecord(this->device.dir, host) ? reply(name) : errorReply(name, "InvalidHostID");
            } else if (name == "Unpair") {
                // The phone forgets the host: its record of it goes.
                const QString path =
                    hostFile(this->device.dir, stringOf(dictPath(request.get(), {"PairRecord", "HostID"})));
                answer = !path.isEmpty() && QFile::remove(path) ? reply(name) : errorReply(name, "InvalidHostID");
            } else if (name == "StartSession") {
                if (!startSession(request.get(), device.get())) {
                    return; // a failed handshake leaves nothing to talk over
                }
                continue;
            } else if (name == "StopSession") {
                answer = reply(name);
                if (!channel.send(answer.get())) {
                    return;
                }
                channel.endTls();
                hostId.clear();
                continue;
            } else if (name == "StartService") {
                answer = startService(request.get(), device.get());
            } else if (name == "Goodbye") {
                channel.send(reply(name).get());
                return;
            } else {
                answer = errorReply(name, "InvalidRequest");
            }
            if (!channel.send(answer.get())) {
                return;
            }
        }
    }

private:
    Plist getValue(plist_t request, plist_t device) {
        const std::string domain = stringOf(plist_dict_get_item(request, "Domain"));
        const std::string key = stringOf(plist_dict_get_item(request, "Key"));
        plist_t failing = dictPath(device, {"Sim", "Faults", "CopyValueFail"});
        plist_t dict = dictPath(device, {"Lockdown", domain.c_str()});
        Plist value;
        if (key.empty()) {
            if (dict && plist_get_node_type(dict) == PLIST_DICT) {
                value.reset(plist_copy(dict));
                if (domain == "com.apple.disk_usage") {
                    plist_dict_set_item(value.get(), "AmountDataAvailable", plist_new_uint(available(device)));
                }
            }
        } else if (arrayHasString(failing, key)) {
            // missing on purpose
        } else if (domain.empty() && key == "DevicePublicKey") {
            const std::string pem = devicePublicKeyPem(this->device.dir);
            value.reset(plist_new_data(pem.data(), pem.size()));
        } else if (domain == "com.apple.disk_usage" && key == "AmountDataAvailable") {
            value.reset(plist_new_uint(available(device)));
        } else if (plist_t v = dictPath(dict, {key.c_str()})) {
            value.reset(plist_copy(v));
        }
        if (!value) {
            return errorReply("GetValue", "MissingValue");
        }
        Plist r = reply("GetValue");
        if (!domain.empty()) {
            plist_dict_set_item(r.get(), "Domain", plist_new_string(domain.c_str()));
        }
        if (!key.empty()) {
            plist_dict_set_item(r.get(), "Key", plist_new_string(key.c_str()));
        }
        plist_dict_set_item(r.get(), "Value", value.release());
        return r;
    }

    uint64_t available(plist_t device) const {
        const int64_t total = intAt(device, {"Lockdown", "com.apple.disk_usage", "TotalDataCapacity"}, 0);
        const int64_t used = bytesUnder(this->device.dir + QStringLiteral("/files"));
        return static_cast<uint64_t>(std::max<int64_t>(0, total - used - std::min(kSystemShareBytes, total / 4)));
    }

    Plist setValue(plist_t request) {
        if (hostId.empty()) {
            return errorReply("SetValue", "SessionInactive");
        }
        const std::string domain = stringOf(plist_dict_get_item(request, "Domain"));
        const std::string key = stringOf(plist_dict_get_item(request, "Key"));
        plist_t value = plist_dict_get_item(request, "Value");
        if (!value || (key.empty() && plist_get_node_type(value) != PLIST_DICT)) {
            return errorReply("SetValue", "MissingValue");
        }
        DeviceLock lock(device.dir);
        const QString path = device.dir + QStringLiteral("/device.plist");
        Plist plist = readPlistFile(path);
        if (!plist || plist_get_node_type(plist.get()) != PLIST_DICT) {
            return errorReply("SetValue", "SetProhibited");
        }
        plist_t lockdown = ensureDict(plist.get(), "Lockdown");
        if (key.empty()) {
            plist_dict_set_item(lockdown, domain.c_str(), plist_copy(value));
        } else {
            plist_dict_set_item(ensureDict(lockdown, domain.c_str()), key.c_str(), plist_copy(value));
        }
        return writePlistFile(path, plist.get()) ? reply("SetValue") : errorReply("SetValue", "SetProhibited");
    }

    static plist_t ensureDict(plist_t parent, const char* key) {
        plist_t node = plist_dict_get_item(parent, key);
        if (!node || plist_get_node_type(node) != PLIST_DICT) {
            node = plist_new_dict();
            plist_dict_set_item(parent, key, node);
        }
        return node;
    }

    Plist pair(plist_t request, plist_t device) {
        const std::string answer = trustAnswer(device);
        if (answer == "pending") {
            return errorReply("Pair", "PairingDialogResponsePending");
        }
        if (answer != "accepted") {
            return errorReply("Pair", "UserDeniedPairing");
        }
        plist_t record = plist_dict_get_item(request, "PairRecord");
        const std::string host = stringOf(dictPath(record, {"HostID"}));
        const QString path = hostFile(this->device.dir, host);
        for (const char* key : {"DeviceCertificate", "HostCertificate", "RootCertificate"}) {
            if (dataOf(dictPath(record, {key})).empty()) {
                return errorReply("Pair", "InvalidPairRecord");
            }
        }
        if (path.isEmpty()) {
            return errorReply("Pair", "InvalidHostID");
        }
        unsigned char bag[32];
        RAND_bytes(bag, sizeof bag);
        Plist stored(plist_new_dict());
        for (const char* key : {"DeviceCertificate", "HostCertificate", "RootCertificate", "SystemBUID"}) {
            if (plist_t v = plist_dict_get_item(record, key)) {
                plist_dict_set_item(stored.get(), key, plist_copy(v));
            }
        }
        plist_dict_set_item(stored.get(), "EscrowBag", plist_new_data(reinterpret_cast<char*>(bag), sizeof bag));
        if (plist_t label = plist_dict_get_item(request, "Label")) { // who paired: usbmuxd itself, or which program
            plist_dict_set_item(stored.get(), "Label", plist_copy(label));
        }
        {
            std::lock_guard lock(g_pairMutex);
            QDir().mkpath(pairingDir(this->device.dir));
            if (!writePlistFile(path, stored.get())) {
                return errorReply("Pair", "PairingFailed");
            }
        }
        Plist r = reply("Pair");
        plist_dict_set_item(r.get(), "EscrowBag", plist_new_data(reinterpret_cast<char*>(bag), sizeof bag));
        return r;
    }

    bool startSession(plist_t request, plist_t info) {
        const std::string host = stringOf(plist_dict_get_item(request, "HostID"));
        Plist record = readHostRecord(device.dir, host);
        if (!record) {
            return channel.send(errorReply("StartSession", "InvalidHostID").get());
        }
        if (channel.inTls()) {
            return channel.send(errorReply("StartSession", "SessionActive").get());
        }
        Plist r = reply("StartSession");
        sessionId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
        plist_dict_set_item(r.get(), "SessionID", plist_new_string(sessionId.c_str()));
        plist_dict_set_item(r.get(), "EnableSessionSSL", plist_new_bool(1));
        // Sim.Faults.SessionTlsBreak: the link fails during the session's TLS handshake.
        if (!channel.send(r.get()) || boolAt(info, {"Sim", "Faults", "SessionTlsBreak"}, false)) {
            return false;
        }
        const std::string version = stringOf(dictPath(info, {"Lockdown", "", "ProductVersion"}));
        const bool before10 = std::atoi(version.c_str()) < 10;
        if (!channel.startTls(dataOf(plist_dict_get_item(record.get(), "DeviceCertificate")), deviceKeyPem(device.dir),
                              {dataOf(plist_dict_get_item(record.get(), "HostCertificate")),
                               dataOf(plist_dict_get_item(record.get(), "RootCertificate"))},
                              before10 ? TLS1_VERSION : TLS1_2_VERSION)) {
            return false;
        }
        hostId = host;
        return true;
    }

    Plist startService(plist_t request, plist_t plist) {
        const std::string name = stringOf(plist_dict_get_item(request, "Service"));
        if (hostId.empty()) {
            return errorReply("StartService", "SessionInactive");
        }
        if (!isKnownService(name)) {
            return errorReply("StartService", "InvalidService");
        }
        Plist record = readHostRecord(device.dir, hostId);
        // A locked device opens the backup service only to a host with its escrow bag.
        if (name == "com.apple.mobilebackup2" && boolAt(plist, {"Sim", "Faults", "DeviceLocked"}, false) &&
            (!record || dataOf(plist_dict_get_item(request, "EscrowBag")) !=
                            dataOf(plist_dict_get_item(record.get(), "EscrowBag")))) {
            return errorReply("StartService", "PasswordProtected");
        }
        PendingService service;
        service.name = name;
        service.setup = setupFor(device, plist);
        service.ssl = arrayHasString(dictPath(plist, {"Sim", "ServiceSSL"}), name);
        if (service.ssl && record) {
            service.certPem = dataOf(plist_dict_get_item(record.get(), "DeviceCertificate"));
            service.keyPem = deviceKeyPem(device.dir);
        }
        const bool ssl = service.ssl;
        const uint16_t port = addPendingService(device.id, std::move(service));
        Plist r = reply("StartService");
        plist_dict_set_item(r.get(), "Service", plist_new_string(name.c_str()));
        plist_dict_set_item(r.get(), "Port", plist_new_uint(port));
        if (ssl) {
            plist_dict_set_item(r.get(), "EnableServiceSSL", plist_new_bool(1));
        }
        return r;
    }

    Channel channel;
    MuxDevice device;
    std::string hostId; // set while a session is open
    std::string sessionId;
};

} // namespace

std::string trustAnswer(plist_t devicePlist) {
    plist_t trust = dictPath(devicePlist, {"Sim", "TrustAccepted"});
    if (trust && plist_get_node_type(trust) == PLIST_BOOLEAN) {
        uint8_t b = 1;
        plist_get_bool_val(trust, &b);
        return b ? "accepted" : "denied";
    }
    const std::string answer = stringOf(trust);
    return answer.empty() ? "accepted" : answer;
}

uint16_t addPendingService(uint32_t deviceId, PendingService service) {
    std::lock_guard lock(g_pendingMutex);
    uint16_t port;
    do {
        port = g_nextPort;
        g_nextPort = g_nextPort >= 65000 ? 49152 : uint16_t(g_nextPort + 1);
    } while (g_pending.count({deviceId, port}));
    g_pending[{deviceId, port}] = std::move(service);
    return port;
}

bool takePendingService(uint32_t deviceId, uint16_t port, PendingService* out) {
    std::lock_guard lock(g_pendingMutex);
    auto it = g_pending.find({deviceId, port});
    if (it == g_pending.end()) {
        return false;
    }
    *out = std::move(it->second);
    g_pending.erase(it);
    return true;
}

void serveLockdown(int fd, const MuxDevice& device) {
    Lockdown(fd, device).run();
}

void serveStartedService(int fd, PendingService service) {
    if (!service.ssl) {
        serveInBackground(fd, service.name, std::move(service.setup));
        return;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        ::close(fd);
        return;
    }
    auto present = service.setup.present;
    serveInBackground(pair[1], service.name, std::move(service.setup));
    std::thread([fd, plain = pair[0], present, cert = std::move(service.certPem), key = std::move(service.keyPem)] {
        Channel channel(fd, present);
        if (channel.startTls(cert, key, {})) {
            channel.relay(plain);
        }
        ::close(plain);
    }).detach();
}

} // namespace sim
