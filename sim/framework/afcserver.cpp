// The device side of AFC, confined to one folder.
//
// Every client path is taken relative to the root: empty and "." components are
// dropped, ".." is refused, and the walk opens one component at a time with
// O_NOFOLLOW, so a symbolic link on the way is refused. A link as the last
// component is reported as a link by file info and removed or renamed as
// itself; opening or listing it follows it only when its target lies inside the
// root.

#include "sim/framework/simservices.h"

#include <QFile>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

enum AfcOp : uint64_t {
    OpStatus = 1,
    OpData = 2,
    OpReadDir = 3,
    OpRemovePath = 8,
    OpMakeDir = 9,
    OpGetFileInfo = 10,
    OpGetDevInfo = 11,
    OpFileOpen = 13,
    OpFileOpenRes = 14,
    OpFileRead = 15,
    OpFileWrite = 16,
    OpFileSeek = 17,
    OpFileTell = 18,
    OpFileTellRes = 19,
    OpFileClose = 20,
    OpFileSetSize = 21,
    OpRenamePath = 24,
    OpFileLock = 27,
    OpRemovePathAndContents = 34,
};

enum AfcError : uint64_t {
    ErrSuccess = 0,
    ErrUnknown = 1,
    ErrHeaderInvalid = 2,
    ErrInvalidArg = 7,
    ErrObjectNotFound = 8,
    ErrObjectIsDir = 9,
    ErrPermDenied = 10,
    ErrOpNotSupported = 15,
    ErrObjectExists = 16,
    ErrNoSpaceLeft = 18,
    ErrWouldBlock = 19,
    ErrIoError = 20,
    ErrDirNotEmpty = 33,
};

constexpr char kMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};
constexpr uint64_t kHeaderSize = 40;
// Clients write in 32 KiB chunks and read in 64 KiB blocks; anything far
// beyond that is a broken stream.
constexpr uint64_t kMaxPacket = 16u * 1024 * 1024;
constexpr uint64_t kMaxReadBlock = 8u * 1024 * 1024;

uint64_t le64(const char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v;
}

void putLe64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>(v & 0xff));
        v >>= 8;
    }
}

// Splits a device path into its components, relative to the service's root.
// False for any ".." component: nothing may climb out of the root. With
// `dotDot` (a fault) ".." drops the previous component instead, still never
// above the root.
bool splitInsideRoot(const std::string& path, std::vector<std::string>& parts, bool dotDot = false) {
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        std::string part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == ".." && dotDot) {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        if (part == "..") {
            return false;
        }
        parts.push_back(std::move(part));
    }
    return true;
}

uint64_t errnoToAfc(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return ErrObjectNotFound;
    case EACCES:
    case EPERM:
    case ELOOP:
    case EROFS:
        return ErrPermDenied;
    case ENOTEMPTY:
        return ErrDirNotEmpty;
    case EEXIST:
        return ErrObjectExists;
    case EISDIR:
        return ErrObjectIsDir;
    case ENOSPC:
    case EDQUOT:
        return ErrNoSpaceLeft;
    case EINVAL:
    case EBADF:
        return ErrInvalidArg;
    default:
        return ErrIoError;
    }
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset(o.release());
        }
        return *this;
    }
    int get() const { return fd; }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    void reset(int f = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = f;
    }
    explicit operator bool() const { return fd >= 0; }

private:
    int fd = -1;
};

// A path inside the root: the folder holding it and its last component.
struct Target {
    uint64_t error = ErrSuccess;
    Fd parent;
    std::string name; // "." for the root itself
    bool isRoot = false;
};

class AfcServer {
public:
    AfcServer(ServiceConnection& conn, const QString& rootDir, const QString& traceFile)
        : conn(conn), traceFile(traceFile) {
        const QByteArray encoded = QFile::encodeName(rootDir);
        // The root itself must be a real folder, not a link to somewhere else.
        Fd own(::open(encoded.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        char resolved[PATH_MAX];
        if (own && ::realpath(encoded.constData(), resolved)) {
            rootReal = resolved;
            rootFd = std::move(own);
        }
    }

    ~AfcServer() {
        for (auto& [handle, fd] : files) {
            ::close(fd);
        }
    }

    void run() {
        if (!rootFd) {
            return;
        }
        while (conn.alive()) {
            char header[kHeaderSize];
            if (!conn.recvAll(header, kHeaderSize)) {
                return;
            }
            const uint64_t entire = le64(header + 8);
            const uint64_t thisLen = le64(header + 16);
            packetNumber = le64(header + 24);
            const uint64_t op = le64(header + 32);
            if (memcmp(header, kMagic, 8) != 0 || thisLen < kHeaderSize || entire < thisLen || entire > kMaxPacket) {
                // The stream is out of step: say so and stop.
                sendStatus(ErrHeaderInvalid);
                return;
            }
            std::string payload(entire - kHeaderSize, '\0');
            if (!payload.empty() && !conn.recvAll(payload.data(), payload.size())) {
                return;
            }
            if (!conn.beforeReply()) {
                return;
            }
            if (!handle(op, payload)) {
                return;
            }
        }
    }

private:
    bool handle(uint64_t op, const std::string& p) {
        switch (op) {
        case OpReadDir:
            return readDir(cString(p, 0));
        case OpRemovePath:
            return sendStatus(removePath(cString(p, 0), false));
        case OpRemovePathAndContents:
            return sendStatus(removePath(cString(p, 0), true));
        case OpMakeDir:
            return sendStatus(makeDir(cString(p, 0)));
        case OpGetFileInfo:
            return fileInfo(cString(p, 0));
        case OpGetDevInfo:
            return devInfo();
        case OpFileOpen:
            if (p.size() < 8) {
                return sendStatus(ErrInvalidArg);
            }
            return fileOpen(le64(p.data()), cString(p, 8));
        case OpFileRead:
            if (p.size() < 16) {
                return sendStatus(ErrInvalidArg);
            }
            return fileRead(le64(p.data()), le64(p.data() + 8));
        case OpFileWrite:
            if (p.size() < 8) {
                return sendStatus(ErrInvalidArg);
            }
            return sendStatus(fileWrite(le64(p.data()), p.data() + 8, p.size() - 8));
        case OpFileSeek:
            if (p.size() < 24) {
                return sendStatus(ErrInvalidArg);
            }
            return sendStatus(fileSeek(le64(p.data()), le64(p.data() + 8), static_cast<int64_t>(le64(p.data() + 16))));
        case OpFileTell:
            if (p.size() < 8) {
                return sendStatus(ErrInvalidArg);
            }
            return fileTell(le64(p.data()));
        case OpFileClose:
            if (p.size() < 8) {
                return sendStatus(ErrInvalidArg);
            }
            return sendStatus(fileClose(le64(p.data())));
        case OpFileSetSize:
            if (p.size() < 16) {
                return sendStatus(ErrInvalidArg);
            }
            return sendStatus(fileSetSize(le64(p.data()), le64(p.data() + 8)));
        case OpRenamePath: {
            const std::string from = cString(p, 0);
            const size_t second = std::min(p.size(), from.size() + 1);
            return sendStatus(renamePath(from, cString(p, second)));
        }
        case OpFileLock:
            if (p.size() < 16) {
                return sendStatus(ErrInvalidArg);
            }
            return sendStatus(fileLock(le64(p.data()), le64(p.data() + 8)));
        default:
            return sendStatus(ErrOpNotSupported);
        }
    }

    static std::string cString(const std::string& p, size_t offset) {
        if (offset >= p.size()) {
            return {};
        }
        const size_t end = p.find('\0', offset);
        return p.substr(offset, end == std::string::npos ? std::string::npos : end - offset);
    }

    bool sendPacket(uint64_t op, const std::string& data, uint64_t headerData = 0) {
        std::string out(kMagic, 8);
        putLe64(out, kHeaderSize + data.size());
        putLe64(out, kHeaderSize + headerData);
        putLe64(out, packetNumber);
        putLe64(out, op);
        out += data;
        return conn.sendAll(out.data(), out.size());
    }

    bool sendStatus(uint64_t code) {
        std::string data;
        putLe64(data, code);
        return sendPacket(OpStatus, data, 8);
    }

    void trace(const char* what, uint64_t handle, uint64_t bytes) {
        if (!conn.setup().traceAfc) {
            return;
        }
        QFile f(traceFile);
        if (f.open(QIODevice::WriteOnly | QIODevice::Append)) {
            f.write(QByteArray(what) + ' ' + QByteArray::number(handle) + ' ' + QByteArray::number(bytes) + '\n');
        }
    }

    Target resolve(const std::string& path) {
        Target t;
        std::vector<std::string> parts;
        if (!splitInsideRoot(path, parts, conn.setup().afcDotDot)) {
            t.error = ErrPermDenied;
            return t;
        }
        if (parts.empty()) {
            t.parent.reset(::dup(rootFd.get()));
            t.name.assign(1, '.'); // not = ".": GCC 12 at -O3 reports a false -Wrestrict there
            t.isRoot = true;
            return t;
        }
        Fd cur(::dup(rootFd.get()));
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            Fd next(::openat(cur.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) {
                const int e = errno;
                struct stat st {};
                if (::fstatat(cur.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
                    t.error = ErrPermDenied; // no links on the way
                } else {
                    t.error = errnoToAfc(e);
                }
                return t;
            }
            cur = std::move(next);
        }
        t.parent = std::move(cur);
        t.name = parts.back();
        return t;
    }

    // Opens the target itself; a final link is followed only into the root.
    Fd openTarget(const Target& t, int flags, uint64_t* error, mode_t mode = 0644) {
        Fd fd(::openat(t.parent.get(), t.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd) {
            return fd;
        }
        const int e = errno;
        struct stat st {};
        if ((e == ELOOP || e == ENOTDIR) && ::fstatat(t.parent.get(), t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode)) {
            const std::string viaProc = "/proc/self/fd/" + std::to_string(t.parent.get()) + "/" + t.name;
            char resolved[PATH_MAX];
            if (!::realpath(viaProc.c_str(), resolved)) {
                *error = ErrObjectNotFound;
                return Fd();
            }
            const std::string target = resolved;
            if (target != rootReal && target.compare(0, rootReal.size() + 1, rootReal + "/") != 0) {
                *error = ErrPermDenied;
                return Fd();
            }
            Fd followed(::open(resolved, (flags & ~O_CREAT) | O_CLOEXEC));
            if (!followed) {
                *error = errnoToAfc(errno);
            }
            return followed;
        }
        *error = errnoToAfc(e);
        return Fd();
    }

    bool readDir(const std::string& path) {
        Target t = resolve(path);
        if (t.error) {
            return sendStatus(t.error);
        }
        uint64_t err = ErrSuccess;
        Fd dfd = openTarget(t, O_RDONLY | O_DIRECTORY, &err);
        if (!dfd) {
            return sendStatus(err);
        }
        DIR* dir = ::fdopendir(dfd.release());
        if (!dir) {
            return sendStatus(ErrIoError);
        }
        // "." and ".." first, as a device lists them.
        std::string names;
        std::vector<std::string> rest;
        while (dirent* ent = ::readdir(dir)) {
            const std::string n = ent->d_name;
            if (n != "." && n != "..") {
                rest.push_back(n);
            }
        }
        ::closedir(dir);
        if (plist_t extra = dictPath(conn.setup().afcListExtra.get(), {path.c_str()})) {
            for (uint32_t i = 0; plist_get_node_type(extra) == PLIST_ARRAY && i < plist_array_get_size(extra); ++i) {
                rest.push_back(stringOf(plist_array_get_item(extra, i)));
            }
        }
        names.append(".", 2);
        names.append("..", 3);
        for (const std::string& n : rest) {
            names.append(n.c_str(), n.size() + 1);
        }
        return sendPacket(OpData, names);
    }

    bool fileInfo(const std::string& path) {
        Target t = resolve(path);
        if (t.error) {
            return sendStatus(t.error);
        }
        struct statx stx {};
        if (::statx(t.parent.get(), t.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
            return sendStatus(errnoToAfc(errno));
        }
        const char* kind = "S_IFREG";
        switch (stx.stx_mode & S_IFMT) {
        case S_IFDIR:
            kind = "S_IFDIR";
            break;
        case S_IFLNK:
            kind = "S_IFLNK";
            break;
        case S_IFCHR:
            kind = "S_IFCHR";
            break;
        case S_IFBLK:
            kind = "S_IFBLK";
            break;
        case S_IFIFO:
            kind = "S_IFIFO";
            break;
        case S_IFSOCK:
            kind = "S_IFSOCK";
            break;
        default:
            break;
        }
        auto ns = [](const struct statx_timestamp& ts) {
            return std::to_string(static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
        };
        const std::string mtime = ns(stx.stx_mtime);
        const std::string btime = (stx.stx_mask & STATX_BTIME) ? ns(stx.stx_btime) : mtime;
        std::string out;
        auto add = [&out](const std::string& k, const std::string& v) {
            out.append(k.c_str(), k.size() + 1);
            out.append(v.c_str(), v.size() + 1);
        };
        add("st_size", std::to_string(stx.stx_size));
        add("st_blocks", std::to_string(stx.stx_blocks));
        add("st_nlink", std::to_string(stx.stx_nlink));
        add("st_ifmt", kind);
        add("st_mtime", mtime);
        add("st_birthtime", btime);
        if ((stx.stx_mode & S_IFMT) == S_IFLNK) {
            char link[PATH_MAX];
            const ssize_t n = ::readlinkat(t.parent.get(), t.name.c_str(), link, sizeof link - 1);
            if (n >= 0) {
                add("LinkTarget", std::string(link, static_cast<size_t>(n)));
            }
        }
        return sendPacket(OpData, out);
    }

    bool devInfo() {
        Plist device = readPlistFile(conn.setup().deviceDir + QStringLiteral("/device.plist"));
        const int64_t total =
            intAt(device.get(), {"Lockdown", "com.apple.disk_usage", "TotalDataCapacity"}, 64LL * 1000 * 1000 * 1000);
        const int64_t used = bytesUnder(conn.setup().deviceDir + QStringLiteral("/files"));
        const int64_t freeBytes = std::max<int64_t>(0, total - used - std::min(kSystemShareBytes, total / 4));
        std::string out;
        auto add = [&out](const std::string& k, const std::string& v) {
            out.append(k.c_str(), k.size() + 1);
            out.append(v.c_str(), v.size() + 1);
        };
        add("Model", stringOf(dictPath(device.get(), {"Lockdown", "", "ProductType"})));
        add("FSTotalBytes", std::to_string(total));
        add("FSFreeBytes", std::to_string(freeBytes));
        add("FSBlockSize", "4096");
        return sendPacket(OpData, out);
    }

    uint64_t removeTree(int parent, const char* name) {
        struct stat st {};
        if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return errnoToAfc(errno);
        }
        if (S_ISDIR(st.st_mode)) {
            Fd dfd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!dfd) {
                return errnoToAfc(errno);
            }
            const int inner = ::dup(dfd.get());
            DIR* dir = inner >= 0 ? ::fdopendir(inner) : nullptr;
            if (!dir) {
                if (inner >= 0) {
                    ::close(inner);
                }
                return ErrIoError;
            }
            std::vector<std::string> names;
            while (dirent* ent = ::readdir(dir)) {
                if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0) {
                    names.emplace_back(ent->d_name);
                }
            }
            ::closedir(dir);
            for (const std::string& n : names) {
                if (uint64_t e = removeTree(dfd.get(), n.c_str())) {
                    return e;
                }
            }
            return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 ? ErrSuccess : errnoToAfc(errno);
        }
        return ::unlinkat(parent, name, 0) == 0 ? ErrSuccess : errnoToAfc(errno);
    }

    uint64_t removePath(const std::string& path, bool recursive) {
        Target t = resolve(path);
        if (t.error) {
            return t.error;
        }
        if (t.isRoot || arrayHasString(conn.setup().afcRemoveRefused.get(), path)) {
            return ErrPermDenied;
        }
        if (recursive) {
            return removeTree(t.parent.get(), t.name.c_str());
        }
        struct stat st {};
        if (::fstatat(t.parent.get(), t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return errnoToAfc(errno);
        }
        const int rc = ::unlinkat(t.parent.get(), t.name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
        if (rc != 0) {
            return errno == EEXIST ? ErrDirNotEmpty : errnoToAfc(errno);
        }
        return ErrSuccess;
    }

    // Creates missing parents too, and succeeds when the folder exists.
    uint64_t makeDir(const std::string& path) {
        std::vector<std::string> parts;
        if (!splitInsideRoot(path, parts)) {
            return ErrPermDenied;
        }
        Fd cur(::dup(rootFd.get()));
        for (const std::string& part : parts) {
            if (::mkdirat(cur.get(), part.c_str(), 0755) != 0 && errno != EEXIST) {
                return errnoToAfc(errno);
            }
            Fd next(::openat(cur.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) {
                struct stat st {};
                if (::fstatat(cur.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
                    return ErrPermDenied;
                }
                return errno == ENOTDIR ? ErrObjectExists : errnoToAfc(errno);
            }
            cur = std::move(next);
        }
        return ErrSuccess;
    }

    uint64_t renamePath(const std::string& from, const std::string& to) {
        Target a = resolve(from);
        if (a.error) {
            return a.error;
        }
        Target b = resolve(to);
        if (b.error) {
            return b.error;
        }
        if (a.isRoot || b.isRoot) {
            return ErrPermDenied;
        }
        if (::renameat(a.parent.get(), a.name.c_str(), b.parent.get(), b.name.c_str()) != 0) {
            return errno == EEXIST ? ErrDirNotEmpty : errnoToAfc(errno);
        }
        return ErrSuccess;
    }

    bool fileOpen(uint64_t mode, const std::string& path) {
        int flags = 0;
        switch (mode) {
        case 1:
            flags = O_RDONLY;
            break;
        case 2:
            flags = O_RDWR;
            break;
        case 3:
            flags = O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case 4:
            flags = O_RDWR | O_CREAT | O_TRUNC;
            break;
        case 5:
            flags = O_WRONLY | O_CREAT | O_APPEND;
            break;
        case 6:
            flags = O_RDWR | O_CREAT | O_APPEND;
            break;
        default:
            return sendStatus(ErrInvalidArg);
        }
        Target t = resolve(path);
        if (t.error) {
            return sendStatus(t.error);
        }
        if (t.isRoot) {
            return sendStatus(ErrObjectIsDir);
        }
        uint64_t err = ErrSuccess;
        Fd fd = openTarget(t, flags, &err);
        if (!fd) {
            return sendStatus(err);
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
            return sendStatus(ErrObjectIsDir);
        }
        const uint64_t handle = nextHandle++;
        files[handle] = fd.release();
        std::string data;
        putLe64(data, handle);
        return sendPacket(OpFileOpenRes, data, 8);
    }

    int fdOf(uint64_t handle) const {
        auto it = files.find(handle);
        return it == files.end() ? -1 : it->second;
    }

    bool fileRead(uint64_t handle, uint64_t length) {
        trace("READ", handle, length);
        const int fd = fdOf(handle);
        if (fd < 0) {
            return sendStatus(ErrInvalidArg);
        }
        std::string data(std::min(length, kMaxReadBlock), '\0');
        size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return sendStatus(errno == EBADF ? ErrPermDenied : errnoToAfc(errno));
            }
            if (n == 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        data.resize(got);
        return sendPacket(OpData, data);
    }

    uint64_t fileWrite(uint64_t handle, const char* bytes, size_t len) {
        trace("WRITE", handle, len);
        const int fd = fdOf(handle);
        if (fd < 0) {
            return ErrInvalidArg;
        }
        size_t done = 0;
        while (done < len) {
            const ssize_t n = ::write(fd, bytes + done, len - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return errno == EBADF ? ErrPermDenied : errnoToAfc(errno);
            }
            done += static_cast<size_t>(n);
        }
        return ErrSuccess;
    }

    uint64_t fileSeek(uint64_t handle, uint64_t whence, int64_t offset) {
        const int fd = fdOf(handle);
        if (fd < 0 || whence > 2) {
            return ErrInvalidArg;
        }
        const int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
        return ::lseek(fd, offset, w) < 0 ? errnoToAfc(errno) : ErrSuccess;
    }

    bool fileTell(uint64_t handle) {
        const int fd = fdOf(handle);
        if (fd < 0) {
            return sendStatus(ErrInvalidArg);
        }
        const off_t pos = ::lseek(fd, 0, SEEK_CUR);
        if (pos < 0) {
            return sendStatus(errnoToAfc(errno));
        }
        std::string data;
        putLe64(data, static_cast<uint64_t>(pos));
        return sendPacket(OpFileTellRes, data, 8);
    }

    uint64_t fileClose(uint64_t handle) {
        auto it = files.find(handle);
        if (it == files.end()) {
            return ErrInvalidArg;
        }
        ::close(it->second);
        files.erase(it);
        return ErrSuccess;
    }

    uint64_t fileSetSize(uint64_t handle, uint64_t size) {
        const int fd = fdOf(handle);
        if (fd < 0 || size > static_cast<uint64_t>(INT64_MAX)) {
            return ErrInvalidArg;
        }
        return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? ErrSuccess : errnoToAfc(errno);
    }

    // Lock operations as devices define them: 1 shared, 2 exclusive, 8 unlock,
    // each possibly combined with 4 (non-blocking). The service thread never
    // blocks, so every request is tried without waiting.
    uint64_t fileLock(uint64_t handle, uint64_t op) {
        const int fd = fdOf(handle);
        if (fd < 0) {
            return ErrInvalidArg;
        }
        int how = 0;
        if (op & 8) {
            how = LOCK_UN;
        } else if (op & 2) {
            how = LOCK_EX;
        } else if (op & 1) {
            how = LOCK_SH;
        } else {
            return ErrInvalidArg;
        }
        if (::flock(fd, how | LOCK_NB) != 0) {
            return errno == EWOULDBLOCK ? ErrWouldBlock : errnoToAfc(errno);
        }
        return ErrSuccess;
    }

    ServiceConnection& conn;
    QString traceFile;
    std::string rootReal;
    Fd rootFd;
    uint64_t packetNumber = 0;
    std::map<uint64_t, int> files;
    uint64_t nextHandle = 1;
};

} // namespace

void serveAfc(ServiceConnection& conn, const QString& rootDir, const QString& traceFile) {
    AfcServer(conn, rootDir, traceFile).run();
}

} // namespace sim
