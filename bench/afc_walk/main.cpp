// afc_walk_bench [--smoke] [--preset NAME] [--apps N] [--rounds N]
//                [--link] [--link-ms MS] [--link-mbps MB]
//
// Creates a simulated device, then measures the app-cache scan three ways over
// the same app containers (Library/Caches and Library/tmp):
//   scan       the program's scan (IOSClearAppCacheThread, scan only)
//   sequential the walk one request at a time, one container at a time: a
//              listing, then one file info per entry (the yardstick)
//   local      lstat over the simulator's files/ folder (what the disk allows)
// --link puts a USB 2.0 cable between the program and the device (a 0.5 ms
// round trip, 35 MB/s); --link-ms and --link-mbps choose other figures. Prints
// entries per second for each and the goal line of the scan against the
// sequential walk. Fails when a container cannot be opened, the walks find
// nothing, or they disagree. --smoke: the demo device, one round.

#include "cleaners/iosclearappcachethread.h"
#include "device/cftype.h"
#include "device/iosdevice.h"
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
#include <cmath>
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

struct Link {
    qint64 roundTripUs = 0;
    qint64 bytesPerSecond = 0;
    bool on() const { return roundTripUs > 0 || bytesPerSecond > 0; }
};

class Quiet final : public ProgressReporter {
public:
    void invokeUpdateProgress(const QString&, int, const QString&) override {}
    void invokeErrorOccurred(const QString& err) override { error = err; }
    void invokeSucceed(const QString&) override { ok = true; }
    void invokeTipsWait(const QString&) override { tipsWaiting = false; }
    std::atomic<bool> ok{false};
    QString error;
};

struct Walk {
    qint64 entries = 0;
    qint64 bytes = 0;
};

// One request on the wire at a time.
void walkSequential(unsigned int socket, const QString& dir, Walk& walk) {
    QStringList names;
    try {
        names = mobiledevice_afc_read_dir(socket, dir);
    } catch (const afc_status_error&) {
        return; // no such folder
    }
    for (const QString& name : names) {
        if (!afc_is_plain_name(name)) {
            continue;
        }
        const QString path = dir + QLatin1Char('/') + name;
        const QMap<QString, QString> info = mobiledevice_afc_file_info(socket, path);
        const QString type = info.value(QStringLiteral("st_ifmt"));
        if (type == QLatin1String("S_IFREG")) {
            ++walk.entries;
            walk.bytes += info.value(QStringLiteral("st_size")).toLongLong();
        } else if (type == QLatin1String("S_IFDIR")) {
            ++walk.entries;
            walkSequential(socket, path, walk);
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

// --link gives USB 2.0's figures; --link-ms and --link-mbps each set one on their own.
Link linkFromOptions(const QCommandLineParser& parser) {
    Link link;
    if (parser.isSet(QStringLiteral("link"))) {
        link.roundTripUs = 500;
        link.bytesPerSecond = 35'000'000;
    }
    if (parser.isSet(QStringLiteral("link-ms"))) {
        link.roundTripUs = std::llround(parser.value(QStringLiteral("link-ms")).toDouble() * 1000.0);
    }
    if (parser.isSet(QStringLiteral("link-mbps"))) {
        link.bytesPerSecond = std::llround(parser.value(QStringLiteral("link-mbps")).toDouble() * 1e6);
    }
    return link;
}

bool setLink(const QString& tool, const QString& udid, const Link& link) {
    QProcess p;
    p.start(tool, {QStringLiteral("set"), QStringLiteral("--udid"), udid, QStringLiteral("Sim.Link"),
                   QStringLiteral("{\"RoundTripUs\": %1, \"BytesPerSecond\": %2}")
                       .arg(link.roundTripUs)
                       .arg(link.bytesPerSecond)});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
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
    parser.addOption({QStringLiteral("link"), QStringLiteral("a USB 2.0 link: 0.5 ms round trip, 35 MB/s")});
    parser.addOption({QStringLiteral("link-ms"), QStringLiteral("the link's round trip"), QStringLiteral("ms")});
    parser.addOption({QStringLiteral("link-mbps"), QStringLiteral("the link's rate"), QStringLiteral("MB/s")});
    parser.process(app);
    const bool smoke = parser.isSet(QStringLiteral("smoke"));
    const Link link = linkFromOptions(parser);

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
    if (link.on() && !setLink(QStringLiteral(VEXLAR_SIMDEVICE_TOOL), udid, link)) {
        std::fprintf(stderr, "simdevice set Sim.Link failed\n");
        return 1;
    }

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
    const QStringList folders{QStringLiteral("/Library/Caches"), QStringLiteral("/Library/tmp")};

    std::printf("device %s, %lld apps, %d rounds, link %s\n", qPrintable(udid), static_cast<long long>(ids.size()),
                rounds,
                link.on() ? qPrintable(QStringLiteral("%1 ms round trip, %2 MB/s")
                                           .arg(double(link.roundTripUs) / 1000.0)
                                           .arg(double(link.bytesPerSecond) / 1e6))
                          : "off");
    qint64 scanNs = 0, seqNs = 0, localNs = 0;
    Walk seqWalk, localWalk;
    qint64 scanBytes = 0;
    int failures = 0;
    IOSDevice record;
    record.device = device;
    QList<_IOSAppInfo> chosen;
    for (const QString& id : ids) {
        chosen.append({id, id});
    }
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        Quiet reporter;
        IOSClearAppCacheThread scan(record, chosen, reporter);
        scan.scanOnly = true;
        scan.start();
        scan.wait();
        scanNs += timer.nsecsElapsed();
        if (!reporter.ok) {
            std::fprintf(stderr, "scan: %s\n", qPrintable(reporter.error));
            ++failures;
        }
        scanBytes += scan.totalScanBytes();

        timer.restart();
        for (const QString& id : ids) {
            mobiledevice_afc afc(device);
            try {
                afc.startService(id);
                for (const QString& folder : folders) {
                    walkSequential(afc.socket, folder, seqWalk);
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s: %s\n", qPrintable(id), e.what());
                ++failures;
            }
        }
        seqNs += timer.nsecsElapsed();

        timer.restart();
        for (const QString& id : ids) {
            for (const QString& folder : folders) {
                const QString path = deviceDir + QStringLiteral("/files/AppDomain-") + id + folder;
                walkLocal(std::filesystem::path(QFile::encodeName(path).toStdString()), localWalk);
            }
        }
        localNs += timer.nsecsElapsed();
    }
    std::printf("scan       : %lld bytes, %.3f s, %.0f entries/s\n", static_cast<long long>(scanBytes), scanNs / 1e9,
                rate(seqWalk.entries, scanNs));
    std::printf("sequential : %lld entries, %lld bytes, %.3f s, %.0f entries/s\n",
                static_cast<long long>(seqWalk.entries), static_cast<long long>(seqWalk.bytes), seqNs / 1e9,
                rate(seqWalk.entries, seqNs));
    std::printf("local      : %lld entries, %lld bytes, %.3f s, %.0f entries/s\n",
                static_cast<long long>(localWalk.entries), static_cast<long long>(localWalk.bytes), localNs / 1e9,
                rate(localWalk.entries, localNs));
    std::printf("APPCACHE-SCAN: ours %.3f s, yardstick %.3f s, ratio %.3f (goal <= 0.25)\n", scanNs / 1e9, seqNs / 1e9,
                seqNs > 0 ? double(scanNs) / double(seqNs) : 0.0);
    if (failures > 0 || seqWalk.entries == 0 || seqWalk.entries != localWalk.entries ||
        seqWalk.bytes != localWalk.bytes || scanBytes != seqWalk.bytes) {
        std::fprintf(stderr, "afc_walk_bench: %d failures, or the walks disagree\n", failures);
        return 1;
    }
    return 0;
}

#include "main.moc"
