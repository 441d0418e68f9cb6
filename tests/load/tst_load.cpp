// Load: eight simulated devices plugged at once and a hundred plug/unplug cycles while the window
// scans one of them; then a backup of the large preset while another device comes and goes. At every
// settle point the list holds exactly the plugged devices under their names and the selected one shows
// only its own apps and figures; descriptors and threads end where they began; the Python peer judges
// the backup. Devices change from a thread of the test's own: the window's dialogs hold the main thread.

#include "cleaners/iosmobilebackupthread.h"
#include "tests/backupinterop/peer.h"
#include "tests/device/simfixture.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// Open descriptors ("fd") or threads ("task") of this process.
int entries(const char* what) {
    const auto all = QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot;
    return int(QDir(u"/proc/self/"_s + QLatin1String(what), {}, QDir::NoSort, all).count());
}

// Every regular file below the device's files/ is in the backup with the same bytes, as the peer reads
// it; prints "<files> <missing or different> <SnapshotState>".
const char* const kBackupOracle = R"PY(
import os, plistlib, sys
sys.path.insert(0, os.path.dirname(sys.argv[1]))
import devicebackup
backup, files = sys.argv[2], sys.argv[3]
b = devicebackup.OpenBackup(backup, None)
records = {(r['domain'], r['path']): r for r in b.records()}
n = bad = 0
for top, _, names in os.walk(files):
    for full in [os.path.join(top, x) for x in names if not os.path.islink(os.path.join(top, x))]:
        domain, path = os.path.relpath(full, files).split(os.sep, 1)
        r, n = records.get((domain, path)), n + 1
        if r is None or b.read_plain(r) != open(full, 'rb').read():
            bad += 1
            print('differs:', full, file=sys.stderr)
print(n, bad, plistlib.load(open(os.path.join(backup, 'Status.plist'), 'rb')).get('SnapshotState'))
)PY";

} // namespace

class TestLoad : public QObject {
    Q_OBJECT

    SimStore m_sim;
    std::unique_ptr<MainWindow> m_window;
    QStringList m_udids;            // m_udids[0] has the demo apps and is scanned
    QHash<QString, QString> m_name; // udid -> device name
    QSet<QString> m_plugged;        // written by the driver thread only while it runs
    QHash<QString, int> m_apps;     // udid -> apps listed, for devices that have any
    std::atomic<int> m_toolFailures = 0;

    QComboBox* devices() const { return m_window->findChild<QComboBox*>(u"cbDevices"_s); }

    // What is wrong with the window, or nothing: the list is exactly the plugged devices under their names,
    // no dialog is open, and the selected device shows its own apps and figures only (none without apps).
    QString wrong() const {
        QComboBox* cb = devices();
        QSet<QString> listed;
        for (int i = 0; i < cb->count(); ++i) {
            const QString udid = qvariant_cast<IOSDevice>(cb->itemData(i)).udid;
            if (cb->itemText(i) != m_name.value(udid) || listed.contains(udid)) {
                return u"entry %1: %2 listed as \"%3\""_s.arg(i).arg(udid, cb->itemText(i));
            }
            listed.insert(udid);
        }
        const bool dialog = QApplication::activeModalWidget();
        if (listed != m_plugged || dialog) {
            return u"%1 listed of %2 plugged, dialog open: %3"_s.arg(listed.size()).arg(m_plugged.size()).arg(dialog);
        }
        const QString current = qvariant_cast<IOSDevice>(cb->currentData()).udid;
        const QString figures = m_window->findChild<QLabel*>(u"lbTotalAppCache"_s)->text() +
                                m_window->findChild<QLabel*>(u"lbTotalSysCache"_s)->text();
        const int apps = m_window->appModel()->rowCount();
        if ((cb->currentIndex() < 0) != listed.isEmpty() || apps != m_apps.value(current) ||
            (!m_apps.value(current) && !figures.isEmpty())) {
            return u"%1 selected shows %2 apps and figures \"%3\""_s.arg(current).arg(apps).arg(figures);
        }
        return {};
    }
    QString settle() const {
        QString why;
        (void)QTest::qWaitFor([&] { return (why = wrong()).isEmpty(); }, 120000);
        return why;
    }

    // Takes the device's app count from its first listing, with nothing else changing.
    void learnApps(const QString& udid) {
        select(udid);
        QVERIFY(QTest::qWaitFor([&] { return m_window->appModel()->rowCount() > 3; }, 120000));
        QTest::qWait(1000);
        m_apps.insert(udid, m_window->appModel()->rowCount());
    }

    // Plugs or unplugs from the driver thread; a failing tool is counted and checked on the main thread.
    void toggle(const QString& udid) {
        const bool in = m_plugged.contains(udid);
        m_toolFailures += !(in ? m_sim.unplug(udid) : m_sim.plug(udid));
        in ? (void)m_plugged.remove(udid) : (void)m_plugged.insert(udid);
    }

    void select(const QString& udid) { devices()->setCurrentIndex(devices()->findText(m_name.value(udid))); }

    // Runs `drive` on a thread of its own while `button` is pressed on the main thread; returns once both ended.
    void pressWhile(const char* button, const std::function<void(const std::atomic<bool>& pressed)>& drive) {
        std::atomic<bool> pressed = false;
        std::thread driver([&] { drive(pressed); });
        bool returned = false;
        QTimer::singleShot(0, m_window.get(), [&] {
            QTest::mouseClick(m_window->findChild<QPushButton*>(QLatin1String(button)), Qt::LeftButton);
            returned = true;
        });
        const bool ended = QTest::qWaitFor([&] { return returned; }, 1800000);
        pressed = true;
        driver.join();
        QVERIFY(ended && m_toolFailures == 0);
    }

private slots:
    void initTestCase() {
        QString why;
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        qputenv("VEXLAR_BACKUP_HELPER", VEXLAR_SIMBACKUP);
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::setAutoAnswer(true);
        // Created before the window: all eight are announced in the same poll.
        for (int i = 0; i < 8; ++i) {
            const QString name = u"Load \u00e9 %1"_s.arg(i);
            const QString udid = m_sim.create({u"--name"_s, name, u"--preset"_s, i ? u"empty"_s : u"demo"_s});
            QVERIFY(!udid.isEmpty());
            m_udids << udid;
            m_name.insert(udid, name);
            m_plugged.insert(udid);
        }
        // Scans last long enough for devices to come and go meanwhile.
        QVERIFY(m_sim.set(m_udids.first(), u"Sim.Faults.ReplyDelayMs"_s, u"3"_s));
        QCOMPARE(mobiledevice_init(), 1);
        m_window = std::make_unique<MainWindow>();
        m_window->show();
        learnApps(m_udids.first());
    }
    void cleanupTestCase() { m_window.reset(); }

    void hundredCyclesWhileScanning() {
        QRandomGenerator random(14);
        int cycles = 0, rounds = 0, fds = 0, tasks = 0;
        while (cycles < 100) {
            if (!m_plugged.contains(m_udids.first())) {
                toggle(m_udids.first());
                QCOMPARE(settle(), QString());
            }
            select(m_udids.first());
            // Round 0 has no changes: it takes the figures after start-up, lazily made threads included.
            pressWhile("btnScanAppCache", [&](const std::atomic<bool>&) {
                for (int k = rounds ? random.bounded(1, 5) : 0; k > 0; --k) {
                    const QString udid = m_udids.at(random.bounded(8));
                    cycles += m_plugged.contains(udid);
                    toggle(udid);
                    QThread::msleep(random.bounded(600));
                }
            });
            QCOMPARE(settle(), QString());
            if (rounds++ == 0) {
                fds = entries("fd");
                tasks = entries("task");
            }
        }
        for (const QString& udid : m_udids) {
            m_plugged.contains(udid) ? void() : toggle(udid);
        }
        QCOMPARE(settle(), QString());
        QCOMPARE(m_toolFailures.load(), 0);
        qInfo("%d cycles in %d rounds; descriptors %d -> %d, threads %d -> %d", cycles, rounds, fds, entries("fd"),
              tasks, entries("task"));
        // Connections of the last unplugs may still be closing; a leaked one never does.
        QTRY_VERIFY_WITH_TIMEOUT(entries("task") <= tasks, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(entries("fd") <= fds, 10000);
    }

    void backupWhileAnotherDeviceComesAndGoes() {
        const QString large = m_sim.create({u"--name"_s, u"Large"_s, u"--ios"_s, u"14.4"_s, u"--preset"_s, u"large"_s});
        QVERIFY(!large.isEmpty());
        m_name.insert(large, u"Large"_s);
        m_plugged.insert(large);
        learnApps(large);
        QCOMPARE(settle(), QString());

        const QString other = m_udids.at(1);
        std::atomic<int> shown = 0, gone = 0;
        int plugs = 0, unplugs = 0;
        QObject scope;
        const auto count = [&](std::atomic<int>* n) {
            return [=, this](const QModelIndex&, int a, int b) {
                for (int i = a; i <= b; ++i) {
                    *n += devices()->itemText(i) == m_name.value(other);
                }
            };
        };
        connect(devices()->model(), &QAbstractItemModel::rowsInserted, &scope, count(&shown));
        connect(devices()->model(), &QAbstractItemModel::rowsAboutToBeRemoved, &scope, count(&gone));
        QElapsedTimer timer;
        timer.start();
        // Each state lasts until the list shows it (a device gone before the window read it is not listed).
        pressWhile("btnScanSysCache", [&](const std::atomic<bool>& pressed) {
            while (!pressed) {
                ++(m_plugged.contains(other) ? unplugs : plugs);
                toggle(other);
                for (int ms = 0; ms < 60000 && !pressed && (shown != plugs || gone != unplugs); ms += 50) {
                    QThread::msleep(50);
                }
                QThread::msleep(600);
            }
        });
        const qint64 ms = timer.elapsed();
        QCOMPARE(settle(), QString());
        QVERIFY(unplugs >= 2);
        QCOMPARE(shown.load(), plugs);
        QCOMPARE(gone.load(), unplugs);

        const QString backup = iosbackup_temp_dir().filePath(large);
        const PeerResult peer = runProgram(
            QStringLiteral(VEXLAR_PYTHON),
            {u"-c"_s, QString::fromUtf8(kBackupOracle), peerScript(), backup, m_sim.deviceDir(large) + u"/files"_s},
            cleanEnvironment(), 600000);
        const QStringList out = QString::fromUtf8(peer.out).trimmed().split(u' ');
        qInfo("large preset: backup and scan %lld ms while the other device came %d times; peer: %s %s", ms, plugs,
              qPrintable(out.join(u' ')), peer.err.constData());
        QCOMPARE(out.value(1), u"0"_s);
        QCOMPARE(out.value(2), u"finished"_s);
        QVERIFY(out.value(0).toInt() > 40000);
        QVERIFY(QDir(iosbackup_temp_dir()).removeRecursively());
    }
};

QTEST_MAIN(TestLoad)
#include "tst_load.moc"
