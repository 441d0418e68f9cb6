// What crash safety costs when a backup of many small files is written: each
// file goes to a temporary beside it and is renamed into place, as the backup
// helper writes them, (a) with no sync at all, the yardstick, (b) with one
// syncfs of the folder's file system at the end, before the file that marks
// the backup finished (what the helper does), and (c) with an fsync of every
// file before its rename. Until the marking file lands the folder is no
// finished backup, so (b) is as safe as (c). Prints seconds per variant;
// fails when a variant left a file short.
//   bench_sync_cost [--smoke] [--dir FOLDER] [files]   (default 100,000 files in the current folder)

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

enum class Sync { None, OnceAtEnd, EveryFile };

constexpr int kFileSize = 2048; // a typical small file of a phone's backup

bool writeFile(const QByteArray& path, const QByteArray& data, bool syncFile) {
    const QByteArray temp = path + ".part";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written =
        ::write(fd, data.constData(), size_t(data.size())) == data.size() && (!syncFile || ::fsync(fd) == 0);
    return ::close(fd) == 0 && written && ::rename(temp.constData(), path.constData()) == 0;
}

// Seconds to write `files` files below root as a backup lays them out (256 folders by the name's first byte).
double writeBackup(const QString& root, int files, Sync sync) {
    const QByteArray data(kFileSize, 'x');
    for (int i = 0; i < 256; ++i) {
        QDir().mkpath(root + QStringLiteral("/%1").arg(i, 2, 16, QLatin1Char('0')));
    }
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < files; ++i) {
        const QByteArray name = QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Sha1).toHex();
        const QByteArray path = QFile::encodeName(root) + '/' + name.left(2) + '/' + name;
        if (!writeFile(path, data, sync == Sync::EveryFile)) {
            std::fprintf(stderr, "cannot write %s\n", path.constData());
            return -1;
        }
    }
    if (sync == Sync::OnceAtEnd) {
        const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || ::syncfs(fd) != 0) {
            return -1;
        }
        ::close(fd);
    }
    return double(timer.nsecsElapsed()) / 1e9;
}

bool complete(const QString& root, int files) {
    qint64 n = 0;
    for (const QFileInfo& folder : QDir(root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const QFileInfo& f : QDir(folder.filePath()).entryInfoList(QDir::Files)) {
            n += f.size() == kFileSize ? 1 : 0;
        }
    }
    return n == files;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int files = 100000;
    QString dir = QDir::currentPath();
    if (args.removeAll(QStringLiteral("--smoke")) > 0) {
        files = 300;
    }
    const qsizetype dirAt = args.indexOf(QStringLiteral("--dir"));
    if (dirAt >= 0 && dirAt + 1 < args.size()) {
        dir = args.takeAt(dirAt + 1);
        args.removeAt(dirAt);
    }
    if (!args.isEmpty()) {
        files = args.first().toInt();
    }
    if (files <= 0) {
        std::fprintf(stderr, "usage: bench_sync_cost [--smoke] [--dir FOLDER] [files]\n");
        return 2;
    }
    // Flush what came before, so that no variant pays for another's writes.
    ::sync();
    const struct {
        const char* name;
        Sync sync;
    } variants[] = {{"no sync (yardstick)", Sync::None},
                    {"one syncfs at the end (the helper)", Sync::OnceAtEnd},
                    {"fsync of every file", Sync::EveryFile}};
    double seconds[3] = {};
    for (int v = 0; v < 3; ++v) {
        QTemporaryDir root(dir + QStringLiteral("/bench-sync-XXXXXX"));
        seconds[v] = root.isValid() ? writeBackup(root.path(), files, variants[v].sync) : -1;
        if (seconds[v] < 0 || !complete(root.path(), files)) {
            std::fprintf(stderr, "%s: failed\n", variants[v].name);
            return 1;
        }
        std::printf("%-36s %8.3f s for %d files of %d bytes\n", variants[v].name, seconds[v], files, kFileSize);
        ::sync();
    }
    std::printf("one syncfs costs %.2fx the unsynced writes; an fsync per file %.2fx\n", seconds[1] / seconds[0],
                seconds[2] / seconds[0]);
    return 0;
}
