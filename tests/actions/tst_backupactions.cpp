// End to end: Remove System Junk and Delete Unwanted Data against simulated
// devices, backed up and restored by the real helper stand-in. Expected
// figures come from vexlar-backup on a backup the Python peer wrote of the
// same files; the device's files/ folder and Python's sqlite3 judge the result.

#include "app/paths.h"
#include "tests/device/simfixture.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "ui/progressform.h"

// QtCore and QtTest come with the simulator fixture.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString kPassword = u"s3cret pw"_s;

// "Domain/path" -> "d" for a folder, else size and SHA-1.
QMap<QString, QByteArray> tree(const QString& files) {
    QMap<QString, QByteArray> out;
    QDirIterator it(files, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        QCryptographicHash sha(QCryptographicHash::Sha1);
        const bool isFile = it.fileInfo().isFile() && f.open(QIODevice::ReadOnly) && sha.addData(&f);
        out.insert(QDir(files).relativeFilePath(path),
                   isFile ? QByteArray::number(f.size()) + ' ' + sha.result().toHex() : "d");
    }
    return out;
}

QByteArray run(const char* program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QString::fromUtf8(program), args);
    p.waitForFinished(300000);
    return p.readAllStandardOutput();
}

// Entries the categories in `chosen` may remove: c cache, j junk candidates, m messages, s Safari.
bool removable(const QString& rel, const QString& chosen) {
    static const QHash<QChar, QRegularExpression> rules = {
        {u'c', QRegularExpression(u"(?i)^(RootDomain|HomeDomain)/Library/Caches/."_s)},
        {u'j', QRegularExpression(u"^MediaDomain/Library/SMS/(Attachments|Parts)/."_s)},
        {u'm', QRegularExpression(u"^(MediaDomain/Library/SMS/(Attachments|Parts)|HomeDomain/Library/SMS/Drafts)/."_s)},
        {u's', QRegularExpression(u"^AppDomain-com.apple.mobilesafari/Library/(WebKit/WebsiteData/LocalStorage/.|"
                                  "Safari/Thumbnails/.|Safari/History.plist)"_s)}};
    return std::any_of(chosen.begin(), chosen.end(), [&rel](QChar c) { return rules[c].match(rel).hasMatch(); });
}

} // namespace

class TestBackupActions : public QObject {
    Q_OBJECT

    SimStore m_sim;
    std::unique_ptr<MainWindow> m_window;
    QTemporaryDir m_tmp;

    template <class T>
    T* child(const char* name) const {
        return m_window->findChild<T*>(QLatin1String(name));
    }
    QString files(const QString& udid) const { return m_sim.deviceDir(udid) + u"/files"_s; }

    // Creates a device, encrypted with kPassword or not, and selects it.
    QString device(const QString& name, const QString& ios, const QString& preset, bool encrypt) {
        const QString udid = m_sim.create(QStringList{u"--name"_s, name, u"--ios"_s, ios, u"--preset"_s, preset} +
                                          (encrypt ? QStringList{u"--encrypt"_s, kPassword} : QStringList()));
        auto* cb = child<QComboBox>("cbDevices");
        if (!QTest::qWaitFor([&] { return cb->findText(name) >= 0; }, 60000)) {
            qWarning("%s was not listed", qPrintable(name));
        }
        cb->setCurrentIndex(cb->findText(name));
        return udid;
    }

    // Presses a button with every box answered Yes and returns the texts shown. The password
    // dialog gets the password, or is cancelled.
    QStringList press(const char* button, bool givePassword = true) {
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
        MessageBoxPresenter::setDialogHandler(u"PasscodeDlg"_s, [givePassword](QDialog* dlg) {
            dlg->findChild<QLineEdit*>(u"txtPasscode"_s)->setText(kPassword);
            givePassword ? QTest::mouseClick(dlg->findChild<QPushButton*>(u"btnOK"_s), Qt::LeftButton) : dlg->reject();
        });
        QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
        return MessageBoxPresenter::shownTexts();
    }

    // Per category, what vexlar-backup finds in a backup the peer wrote of the device's files.
    QHash<QString, qint64> expectedFigures(const QString& udid, bool mbdb) {
        const QString out = m_tmp.filePath(udid);
        run(VEXLAR_PYTHON, {QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop/devicebackup.py"), u"write"_s,
                            files(udid), out, u"--format"_s, mbdb ? u"mbdb"_s : u"db"_s});
        const QJsonObject o = QJsonDocument::fromJson(run(VEXLAR_CLI, {u"scan"_s, out, u"--json"_s})).object();
        QHash<QString, qint64> figures;
        for (const QJsonValue& c : o.value(u"categories"_s).toArray()) {
            figures.insert(c[u"name"_s].toString(), qint64(c[u"found"_s].toDouble()));
        }
        return figures;
    }

    // "ok 0" per database present: integrity_check, then the rows left in its main table.
    QStringList databases(const QString& udid, const QStringList& pathTables) {
        const QString py = u"import sqlite3, sys, os\nfor a in sys.argv[2:]:\n p, t = a.split(':')\n"
                           " if os.path.exists(sys.argv[1] + p):\n  c = sqlite3.connect(sys.argv[1] + p)\n"
                           "  print(c.execute('pragma integrity_check').fetchone()[0], "
                           "c.execute('select count(*) from ' + t).fetchone()[0])"_s;
        return QString::fromUtf8(run(VEXLAR_PYTHON, QStringList{u"-c"_s, py, files(udid) + u'/'} + pathTables))
            .trimmed()
            .split(u'\n');
    }

    // Every entry of `before` is in `after` unchanged, unless `may` allows its change or removal;
    // nothing is added. Returns the bytes of the removed files that `count` selects.
    qint64 onlyChanged(const QMap<QString, QByteArray>& before, const QMap<QString, QByteArray>& after,
                       const std::function<bool(const QString&)>& may, const QString& count = QString()) {
        qint64 removed = 0, gone = 0;
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (after.value(it.key()) != it.value() && !may(it.key())) {
                return -1;
            }
            gone += !after.contains(it.key());
            removed +=
                !after.contains(it.key()) && removable(it.key(), count) ? it.value().split(' ')[0].toLongLong() : 0;
        }
        return after.size() == before.size() - gone ? removed : -1;
    }

private slots:
    void initTestCase() {
        QString why;
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        qputenv("VEXLAR_BACKUP_HELPER", VEXLAR_SIMBACKUP);
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        static QTranslator translator;
        QVERIFY(translator.load(u":/en.qm"_s) && QCoreApplication::installTranslator(&translator));
        MessageBoxPresenter::setAutoAnswer(true);
        QCOMPARE(mobiledevice_init(), 1);
        m_window = std::make_unique<MainWindow>();
        m_window->show();
        // Both function lists show each icon with its caption and the longest size line, whole.
        for (ItemModelAppIcon* model : {m_window->sysFunModel(), m_window->dataFunModel()}) {
            auto* view = child<QListView>(model == m_window->sysFunModel() ? "listSysFun" : "listRemoveFun");
            for (int i = 0; i < model->count(); ++i) {
                model->node(i)->size = qint64(1023) << 40;
            }
            model->contentsUpdate();
            QApplication::processEvents();
            for (int i = 0; i < model->count(); ++i) {
                QVERIFY(view->viewport()->rect().contains(view->visualRect(model->index(i, 0))));
            }
        }
    }
    void cleanupTestCase() { m_window.reset(); }

    void scanThenFreeUp_data() {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<bool>("encrypt");
        QTest::newRow("iOS 9 Manifest.mbdb") << u"9.3.5"_s << false;
        QTest::newRow("iOS 9 Manifest.mbdb encrypted") << u"9.3.5"_s << true;
        QTest::newRow("iOS 14 Manifest.db") << u"14.4"_s << false;
        QTest::newRow("iOS 14 Manifest.db encrypted") << u"14.4"_s << true;
    }
    void scanThenFreeUp() {
        QFETCH(QString, ios);
        QFETCH(bool, encrypt);
        const QString udid = device(QString::fromLatin1(QTest::currentDataTag()), ios, u"demo"_s, encrypt);
        const QHash<QString, qint64> want = expectedFigures(udid, ios.startsWith(u'9'));
        QVERIFY(want.value(u"cache"_s) > 0 && want.value(u"junk"_s) > 0 && want.value(u"messages"_s) > 0);

        const auto before = tree(files(udid));
        const QString sys = formatSpaceShow(want.value(u"cache"_s) + want.value(u"junk"_s));
        QCOMPARE(press("btnScanSysCache"), QStringList());
        QCOMPARE(child<QLabel>("lbTotalSysCache")->text(), u"(%1)"_s.arg(sys));
        QCOMPARE(press("btnScanRemvoeData"), QStringList());
        ItemModelAppIcon* data = m_window->dataFunModel();
        QCOMPARE((QList<qint64>{data->node(0)->size, data->node(1)->size, data->node(2)->size}),
                 (QList<qint64>{want[u"messages"_s], want[u"safari"_s], want[u"calls"_s]}));
        QCOMPARE(tree(files(udid)), before);

        // System junk: exactly the cache files and junk attachments go, to the byte.
        QCOMPARE(press("btnClearSysCache"), QStringList{u"Successfully deleted %1 system cache (Total: %1). Now please "
                                                        "disconnect your iPhone from computer."_s.arg(sys)});
        const auto afterSys = tree(files(udid));
        const auto sysFile = [](const QString& rel) { return removable(rel, u"cj"_s); };
        QCOMPARE(onlyChanged(before, afterSys, sysFile, u"c"_s), want.value(u"cache"_s));
        QCOMPARE(onlyChanged(before, afterSys, sysFile, u"j"_s), want.value(u"junk"_s));

        // All three data kinds: their files go, their databases are emptied and sound, nothing else changes.
        for (int i = 0; i < 3; ++i) {
            QVERIFY(data->setData(data->index(i, 0), int(Qt::Checked), Qt::CheckStateRole));
        }
        const QStringList boxes = press("btnRemoveData");
        QCOMPARE(boxes.size(), 2);
        QVERIFY(boxes.at(0).startsWith(u"Confirm to delete all messages"_s));
        QVERIFY(boxes.at(1).startsWith(u"Successfully deleted"_s));
        const QStringList dbs = {u"HomeDomain/Library/SMS/sms.db:message"_s,
                                 u"AppDomain-com.apple.mobilesafari/Library/Safari/History.db:history_items"_s,
                                 u"WirelessDomain/Library/CallHistory/call_history.db:call"_s,
                                 u"HomeDomain/Library/CallHistoryDB/CallHistory.storedata:ZCALLRECORD"_s};
        const auto isDb = [&dbs](const QString& rel) {
            const QString db = QString(rel).remove(QRegularExpression(u"-(wal|shm|journal)$"_s));
            return std::any_of(dbs.begin(), dbs.end(), [&db](const QString& d) { return d.startsWith(db + u':'); }) ||
                   removable(rel, u"ms"_s);
        };
        QVERIFY(onlyChanged(afterSys, tree(files(udid)), isDb) >= 0);
        const QStringList sound = databases(udid, dbs);
        QVERIFY(sound.size() >= 3);
        QCOMPARE(sound, QStringList(sound.size(), u"ok 0"_s));
    }

    // Rows: what goes wrong ("empty": a device with nothing to find), the data kinds checked, and (part of) each
    // box shown, '|'-separated. Only the Safari row may restore: a restore fails on the other devices.
    void edgeCases_data() {
        QTest::addColumn<QString>("twist");
        QTest::addColumn<QString>("checked");
        QTest::addColumn<QString>("boxes");
        QTest::newRow("nothing found")
            << u"empty"_s << u"msc"_s
            << u"Confirm|Successfully deleted 0.0 KB data.(Total:0.0 KB). Now please disconnect"_s;
        QTest::newRow("only Safari, no question") << u""_s << u"s"_s << u"Successfully"_s;
        QTest::newRow("backup cancelled") << u"cancel"_s << u"msc"_s << u"Confirm|Are You Sure You Want To Cancel?"_s;
        QTest::newRow("password dialog cancelled") << u"no password"_s << u"s"_s << QString();
        QTest::newRow("iCloud backup on")
            << u"icloud"_s << u"s"_s << u"Failed to transfer data to device. Please turn off"_s;
        QTest::newRow("Safari fails, calls skipped") << u"bad history"_s << u"sc"_s << u"file is not a database"_s;
    }
    void edgeCases() {
        QFETCH(QString, twist);
        QFETCH(QString, checked);
        QFETCH(QString, boxes);
        const QString udid = device(QString::fromLatin1(QTest::currentDataTag()), u"14.4"_s,
                                    twist == u"empty"_s ? twist : u"demo"_s, twist == u"no password"_s);
        const bool changes = checked == u"s"_s && twist.isEmpty();
        QVERIFY(m_sim.set(udid, u"Sim.Faults.errorCode"_s, changes ? u"null"_s : u"-35"_s));
        QVERIFY(m_sim.set(udid, u"Sim.Faults.errorCodeOperation"_s, u"restore"_s));
        QVERIFY(m_sim.set(udid, u"Lockdown.com.apple.mobile.backup.CloudBackupEnabled"_s,
                          twist == u"icloud"_s ? u"true"_s : u"false"_s));
        QFile history(files(udid) + u"/AppDomain-com.apple.mobilesafari/Library/Safari/History.db"_s);
        QVERIFY(twist != u"bad history"_s || (history.open(QIODevice::WriteOnly) && history.write("not sqlite")));
        history.close();
        for (int i = 0; i < 3; ++i) {
            m_window->dataFunModel()->node(i)->checked = checked.contains(QLatin1Char("msc"[i]));
        }
        QTimer canceller; // presses Cancel in the first progress dialog
        connect(&canceller, &QTimer::timeout, this, [&canceller] {
            if (auto* form = qobject_cast<ProgressForm*>(QApplication::activeModalWidget())) {
                canceller.stop();
                QTest::mouseClick(form->findChild<QPushButton*>(u"btnCancel"_s), Qt::LeftButton);
            }
        });
        if (twist == u"cancel"_s) {
            canceller.start(5);
        }
        const auto before = tree(files(udid));
        const QStringList shown = press("btnRemoveData", twist != u"no password"_s), want = boxes.split(u'|');
        QCOMPARE(shown.size(), boxes.isEmpty() ? 0 : want.size());
        for (int i = 0; i < shown.size(); ++i) {
            QVERIFY2(shown.at(i).contains(want.at(i)), qPrintable(shown.at(i)));
        }
        const auto after = tree(files(udid));
        QVERIFY(onlyChanged(before, after, [changes](const QString& rel) {
                    return changes && (removable(rel, u"s"_s) || rel.contains(u"History.db"_s));
                }) >= 0);
        QCOMPARE(after != before, changes);
    }
};

QTEST_MAIN(TestBackupActions)
#include "tst_backupactions.moc"
