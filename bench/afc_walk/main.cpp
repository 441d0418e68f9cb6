// afc_walk_bench [--smoke] [--preset NAME] [--apps N] [--rounds N]
//
// Creates a simulated device, then walks the Library/Caches folder of its app
// containers twice: over house arrest + AFC with `lt` and sizes, as the app
// cache scan does, and locally with lstat over the simulator's files/ folder.
// Prints entries per second for both and the ratio. Fails when a container
// cannot be opened, the walks find nothing, or they disagree. --smoke: the
// demo device, one round.

#include "device/cftype.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_loader.h"
#include "services/mobiledevice_afc.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <filesystem>

namespace {

class Receiver : public QObject {
    Q_OBJECT
public:
    QList<am_device*> devices;
public slots:
    void iosDeviceConnected(void* device) { devices.append(static_cast<am_device*>(device)); }
    void iosDeviceDisconnected(void*) {}
};

struct Walk {
    qint64 entries = 0;
    qint64 bytes = 0;
};

void walkAfc(mobiledevice_afc& afc, const QString& dir, Walk& walk) {
    for (const _AfcFileInfo& info : afc.lt(dir)) {
        ++walk.entries;
        if (info.isFile()) {
            walk.bytes += info.size;
        } else if (info.isDir()) {
            walkAfc(afc, info.path, walk);
        }
    }
}

void walkLocal(const std::filesystem::path& dir, Walk& walk) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto status = it->symlink_status(ec);
        if (ec) {
            break;
        }
        if (std::filesystem::is_regular_file(status)) {
            ++walk.entries;
            walk.bytes += static_cast<qint64>(it->file_size(ec));
        } else if (std::filesystem::is_directory(status)) {
            ++walk.entries;
            walkLocal(it->path(), walk);
        }
    }
}

double rate(qint64 entries, qint64 nanoseconds) {
    return nanoseconds > 0 ? entries * 1e9 / double(nanoseconds) : 0.0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("preset"), QStringLiteral("simdevice preset"), QStringLiteral("name"),
                      QStringLiteral("large")});
    parser.addOption(
        {QStringLiteral("apps"), QStringLiteral("apps to walk (0 = all)"), QStringLiteral("n"), QStringLiteral("0")});
    parser.addOption(
        {QStringLiteral("rounds"), QStringLiteral("repetitions"), QStringLiteral("n"), QStringLiteral("3")});
    parser.addOption({QStringLiteral("smoke"), QStringLiteral("a size of seconds: the demo device, one round")});
    parser.process(app);
    const bool smoke = parser.isSet(QStringLiteral("smoke"));

    QTemporaryDir root;
    if (!root.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    qputenv("VEXLAR_SIM_ROOT", QFile::encodeName(root.path()));
    qputenv("VEXLAR_MOBILEDEVICE", QByteArray(VEXLAR_SIMDEVICE_LIBRARY));

    const QString udid = QStringLiteral("bench-afc-walk");
    QProcess tool;
    tool.start(QStringLiteral(VEXLAR_SIMDEVICE_TOOL),
               {QStringLiteral("create"), QStringLiteral("--udid"), udid, QStringLiteral("--preset"),
                smoke ? QStringLiteral("demo") : parser.value(QStringLiteral("preset"))});
    if (!tool.waitForFinished(600000) || tool.exitCode() != 0) {
        std::fprintf(stderr, "simdevice create failed: %s\n", tool.readAllStandardError().constData());
        return 1;
    }
    const QString deviceDir = root.filePath(udid);

    QString error;
    if (mobiledevice_loader_ini(error, QString()) != 1) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    Receiver receiver;
    static _mobiledevice_listen_ctx ctx(&receiver, "iosDeviceConnected", "iosDeviceDisconnected");
    if (!mobiledevice_listen(&ctx)) {
        std::fprintf(stderr, "subscription refused\n");
        return 1;
    }
    QDeadlineTimer deadline(10000);
    while (receiver.devices.isEmpty() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    if (receiver.devices.isEmpty()) {
        std::fprintf(stderr, "the simulated device did not arrive\n");
        return 1;
    }
    am_device* device = receiver.devices.first();

    const CFType apps = CFType::createCFPropertyListFromFile(deviceDir + QStringLiteral("/apps.plist"));
    QStringList ids;
    for (long i = 0; i < apps.array_size(); ++i) {
        const QString id = apps.at(static_cast<int>(i)).get(QStringLiteral("CFBundleIdentifier")).CFStringQString();
        if (!id.isEmpty()) {
            ids.append(id);
        }
    }
    const int wanted = parser.value(QStringLiteral("apps")).toInt();
    if (wanted > 0 && wanted < ids.size()) {
        ids = ids.mid(0, wanted);
    }
    const int rounds = smoke ? 1 : std::max(1, parser.value(QStringLiteral("rounds")).toInt());

    std::printf("device %s, %lld apps, %d rounds\n", qPrintable(udid), static_cast<long long>(ids.size()), rounds);
    qint64 afcNs = 0, localNs = 0;
    Walk afcWalk, localWalk;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (const QString& id : ids) {
            mobiledevice_afc afc(device);
            try {
                afc.startService(id);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s: %s\n", qPrintable(id), e.what());
                ++failures;
                continue;
            }
            walkAfc(afc, QStringLiteral("/Library/Caches"), afcWalk);
        }
        afcNs += timer.nsecsElapsed();

        timer.restart();
        for (const QString& id : ids) {
            const QString caches =
                deviceDir + QStringLiteral("/files/AppDomain-") + id + QStringLiteral("/Library/Caches");
            walkLocal(std::filesystem::path(QFile::encodeName(caches).toStdString()), localWalk);
        }
        localNs += timer.nsecsElapsed();
    }
    const double afcRate = rate(afcWalk.entries, afcNs);
    const double localRate = rate(localWalk.entries, localNs);
    std::printf("afc   : %lld entries, %lld bytes, %.3f s, %.0f entries/s\n", static_cast<long long>(afcWalk.entries),
                static_cast<long long>(afcWalk.bytes), afcNs / 1e9, afcRate);
    std::printf("local : %lld entries, %lld bytes, %.3f s, %.0f entries/s\n", static_cast<long long>(localWalk.entries),
                static_cast<long long>(localWalk.bytes), localNs / 1e9, localRate);
    std::printf("ratio : local is %.1fx faster than AFC\n", afcRate > 0 ? localRate / afcRate : 0.0);
    if (failures > 0 || afcWalk.entries == 0 || afcWalk.entries != localWalk.entries ||
        afcWalk.bytes != localWalk.bytes) {
        std::fprintf(stderr, "afc_walk_bench: %d containers failed to open, or the walks disagree\n", failures);
        return 1;
    }
    return 0;
}

#include "main.moc"
