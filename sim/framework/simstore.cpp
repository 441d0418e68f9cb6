#include "sim/framework/simstore.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <unistd.h>

namespace sim {

namespace {
// device.plist and apps.plist are small; anything larger is not ours.
constexpr qint64 kMaxPlistFile = 64LL * 1024 * 1024;
} // namespace

QString simRoot() {
    return qEnvironmentVariable("VEXLAR_SIM_ROOT");
}

Plist parsePlist(const char* data, size_t len) {
    if (!data || len == 0 || len > static_cast<size_t>(kMaxPlistFile)) {
        return nullptr;
    }
    plist_t node = nullptr;
    plist_from_memory(data, static_cast<uint32_t>(len), &node);
    // A binary plist may hold a NUL inside a string or key; libplist copies those with strdup but keeps the
    // length, so writing a copy out reads past its end. Such a message is refused as malformed.
    if (node) {
        char* xml = nullptr;
        uint32_t xmlLength = 0;
        plist_to_xml(node, &xml, &xmlLength);
        const bool hasNul = !xml || std::memchr(xml, 0, xmlLength) != nullptr;
        plist_to_xml_free(xml);
        if (hasNul) {
            plist_free(node);
            return nullptr;
        }
    }
    return Plist(node);
}

Plist readPlistFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxPlistFile) {
        return nullptr;
    }
    const QByteArray bytes = f.readAll();
    return parsePlist(bytes.constData(), static_cast<size_t>(bytes.size()));
}

bool writePlistFile(const QString& path, plist_t node) {
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    if (!xml) {
        return false;
    }
    QSaveFile f(path);
    bool ok = f.open(QIODevice::WriteOnly) && f.write(xml, len) == static_cast<qint64>(len);
    plist_to_xml_free(xml);
    return ok && f.commit();
}

DeviceLock::DeviceLock(const QString& deviceDir) {
    const QByteArray path = QFile::encodeName(deviceDir + QStringLiteral("/device.lock"));
    fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

DeviceLock::~DeviceLock() {
    if (fd >= 0) {
        ::close(fd); // releases the lock
    }
}

plist_t dictPath(plist_t dict, std::initializer_list<const char*> keys) {
    plist_t node = dict;
    for (const char* key : keys) {
        if (!node || plist_get_node_type(node) != PLIST_DICT) {
            return nullptr;
        }
        node = plist_dict_get_item(node, key);
    }
    return node;
}

bool boolAt(plist_t dict, std::initializer_list<const char*> keys, bool fallback) {
    plist_t node = dictPath(dict, keys);
    if (!node) {
        return fallback;
    }
    if (plist_get_node_type(node) == PLIST_BOOLEAN) {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return v != 0;
    }
    if (plist_get_node_type(node) == PLIST_UINT) {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return v != 0;
    }
    return fallback;
}

int64_t intAt(plist_t dict, std::initializer_list<const char*> keys, int64_t fallback) {
    plist_t node = dictPath(dict, keys);
    if (!node || plist_get_node_type(node) != PLIST_UINT) {
        return fallback;
    }
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return static_cast<int64_t>(v); // libplist keeps signed integers in the same 64 bits
}

void setPlugged(plist_t root, bool plugged) {
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        return;
    }
    plist_t simNode = plist_dict_get_item(root, "Sim");
    if (!simNode || plist_get_node_type(simNode) != PLIST_DICT) {
        simNode = plist_new_dict();
        plist_dict_set_item(root, "Sim", simNode);
    }
    if (!plugged && boolAt(simNode, {"Connected"}, true)) {
        plist_dict_set_item(simNode, "Unplugs", plist_new_uint(static_cast<uint64_t>(unplugCount(root) + 1)));
    }
    plist_dict_set_item(simNode, "Connected", plist_new_bool(plugged ? 1 : 0));
}

int64_t unplugCount(plist_t root) {
    return intAt(root, {"Sim", "Unplugs"}, 0);
}

std::string stringOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return {};
    }
    // A binary plist may carry a NUL inside a string, which plist_get_string_val asserts on; keep every byte.
    uint64_t length = 0;
    const char* s = plist_get_string_ptr(node, &length);
    return s ? std::string(s, length) : std::string();
}

bool arrayHasString(plist_t array, const std::string& text) {
    if (!array || plist_get_node_type(array) != PLIST_ARRAY) {
        return false;
    }
    const uint32_t n = plist_array_get_size(array);
    for (uint32_t i = 0; i < n; ++i) {
        if (stringOf(plist_array_get_item(array, i)) == text) {
            return true;
        }
    }
    return false;
}

int faultCode(plist_t faultNode) {
    if (!faultNode || plist_get_node_type(faultNode) != PLIST_UINT) {
        return 0;
    }
    uint64_t raw = 0;
    plist_get_uint_val(faultNode, &raw);
    const auto code = static_cast<int32_t>(static_cast<uint32_t>(raw));
    if (code > 0) {
        return -code;
    }
    return code;
}

namespace {
thread_local int64_t t_sum = 0;
int addSize(const char*, const struct stat* st, int type, FTW*) {
    if (type == FTW_F) {
        t_sum += st->st_size;
    }
    return 0;
}
} // namespace

int64_t bytesUnder(const QString& dir) {
    t_sum = 0;
    const QByteArray path = QFile::encodeName(dir);
    nftw(path.constData(), addSize, 32, FTW_PHYS);
    return t_sum;
}

} // namespace sim
