// End to end: Remove System Junk and Delete Unwanted Data against simulated
// devices, backed up and restored by the real helper stand-in. Expected
// figures come from vexlar-backup on a backup the Python peer wrote of the
// same files; the device's files/ folder and Python's sqlite3 judge the result.

#include "app/paths.h"
#include "backup/restorepoint.h"
#include "cleaners/iosmobilebackupthread.h"
#include "tests/app/datarows.h"
#include "tests/backupinterop/peer.h"
#include "tests/device/simfixture.h"
#include "ui/detailsdlg.h"
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
#include <QTreeWidget>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/actions/tst_backupactions.json");

const QString kPassword = u"s3cret pw"_s;

// tst_backupactions.json: the cases, what each category may remove, the databases emptied.
const QJsonObject kFixture = jsonFile(kTables);

// Entries the categories in `chosen` may remove: c cache, j junk candidates, m messages, s Safari.
bool removable(const QString& rel, const QString& chosen) {
    return std::any_of(chosen.begin(), chosen.end(), [&rel](QChar c) {
        return QRegularExpression(kFixture[u"removable"_s][QString(c)].toString()).match(rel).hasMatch();
    });
}

// Each box shown contains its part of `boxes` ('|'-separated), and there are no more boxes.
bool shows(const QStringList& shown, const QString& boxes) {
    const QStringList want = boxes.isEmpty() ? QStringList() : boxes.split(u'|');
    return shown.size() == want.size() && std::equal(want.begin(), want.end(), shown.begin(),
                                                     [](const QString& w, const QString& s) { return s.contains(w); });
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
        (void)QTest::qWaitFor([&] { return cb->findText(name) >= 0; }, 60000); // if not, no device is selected
        cb->setCurrentIndex(cb->findText(name));
        return udid;
    }

    // Presses a button (null: Tools, Undo last clean) with the boxes answered as told, then Yes; the texts shown.
    // The password dialog gets it, or is cancelled.
    QStringList press(const char* button, bool givePassword = true,
                      const QList<MessageBoxPresenter::Answer>& answers = {}) {
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
        MessageBoxPresenter::setNextAnswers(answers);
        MessageBoxPresenter::setDialogHandler(u"PasscodeDlg"_s, [givePassword](QDialog* dlg) {
            dlg->findChild<QLineEdit*>(u"txtPasscode"_s)->setText(kPassword);
            givePassword ? QTest::mouseClick(dlg->findChild<QPushButton*>(u"btnOK"_s), Qt::LeftButton) : dlg->reject();
        });
        button ? QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton) : m_window->miUndoClean();
        return MessageBoxPresenter::shownTexts();
    }

    // Per category, what vexlar-backup finds in a backup the peer wrote of the device's files, scanning the
    // window's two sections apart; a clean of every category must then free what one scan of all of them found,
    // and its undo put the folder back byte for byte.
    QHash<QString, qint64> expectedFigures(const QString& udid, bool mbdb, bool encrypt) {
        const QString out = m_tmp.filePath(udid);
        runPeer(QStringList{u"write"_s, files(udid), out, u"--format"_s, mbdb ? u"mbdb"_s : u"db"_s} +
                (encrypt ? QStringList{u"--password"_s, kPassword} : QStringList()));
        QProcessEnvironment env = cleanEnvironment();
        env.insert(u"VEXLAR_BACKUP_PASSWORD"_s, kPassword);
        const auto cli = [&out, &env](const QStringList& args) {
            const QStringList json = args.first() == u"undo"_s ? QStringList() : QStringList{u"--json"_s};
            const QStringList all = QStringList{args.first(), out} + json + args.mid(1);
            return QJsonDocument::fromJson(runProgram(QStringLiteral(VEXLAR_CLI), all, env).out).object();
        };
        QHash<QString, qint64> figures;
        for (const QStringList& section : {QStringList{u"scan"_s, u"--cache"_s, u"--junk"_s},
                                           QStringList{u"scan"_s, u"--messages"_s, u"--safari"_s, u"--calls"_s}}) {
            for (const QJsonValue& c : cli(section).value(u"categories"_s).toArray()) {
                figures.insert(c[u"name"_s].toString(), qint64(c[u"found"_s].toDouble()));
            }
        }
        figures.insert(u"promised"_s, qint64(cli({u"scan"_s})[u"found"_s].toDouble()));
        const auto backup = fileTree(out);
        const QJsonObject clean =
            cli({u"clean"_s, u"--cache"_s, u"--junk"_s, u"--messages"_s, u"--safari"_s, u"--calls"_s});
        figures.insert(u"freed"_s, qint64(clean[u"cleared"_s].toDouble()));
        cli({u"undo"_s});
        figures.insert(u"undone"_s, fileTree(out) == backup && !QFileInfo::exists(out + u".restore-points"_s));
        return figures;
    }

    // Per conversation of the phone's messages, as Python's sqlite3 reads them: "handle messages attachments".
    QStringList conversations(const QString& udid) {
        const QString py =
            u"import sqlite3, sys\nfor r in sqlite3.connect(sys.argv[1]).execute('select c.chat_identifier,"
            " count(distinct m.ROWID), count(ma.attachment_id) from chat c join chat_message_join cm on"
            " cm.chat_id = c.ROWID join message m on m.ROWID = cm.message_id left join"
            " message_attachment_join ma on ma.message_id = m.ROWID group by c.ROWID order by 1'):"
            " print(*r)"_s;
        const QString db = files(udid) + u"/HomeDomain/Library/SMS/sms.db"_s;
        const QByteArray out = runProgram(QStringLiteral(VEXLAR_PYTHON), {u"-c"_s, py, db}, cleanEnvironment()).out;
        return QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
    }

    // "ok 0" per database present: integrity_check, then the rows left in its main table.
    QStringList databases(const QString& udid, const QStringList& pathTables) {
        const QString py =
            u"import sqlite3, sys, os\nfor p, t in (a.split(':') for a in sys.argv[2:]):\n"
            " if os.path.exists(sys.argv[1] + p): c = sqlite3.connect(sys.argv[1] + p); print(c.execute("
            "'pragma integrity_check').fetchone()[0], c.execute('select count(*) from ' + t).fetchone()[0])"_s;
        const QByteArray out = runProgram(QStringLiteral(VEXLAR_PYTHON),
                                          QStringList{u"-c"_s, py, files(udid) + u'/'} + pathTables, cleanEnvironment())
                                   .out;
        return QString::fromUtf8(out).trimmed().split(u'\n');
    }

    // Every entry of `before` is in `after` unchanged, unless `may` allows its change or removal;
    // nothing is added. Returns the bytes of the removed files that `count` selects.
    qint64 onlyChanged(const QMap<QString, QString>& before, const QMap<QString, QString>& after,
                       const std::function<bool(const QString&)>& may, const QString& count = QString()) {
        qint64 removed = 0, gone = 0;
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (after.value(it.key()) != it.value() && !may(it.key())) {
                return -1;
            }
            gone += !after.contains(it.key());
            removed += !after.contains(it.key()) && removable(it.key(), count) ? treeSize(it.value()) : 0;
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
    }
    void cleanupTestCase() { m_window.reset(); }

    void scanThenFreeUp_data() { addRowsFrom(kTables, "scanThenFreeUp"); }
    void scanThenFreeUp() {
        QFETCH(QString, ios);
        QFETCH(bool, encrypt);
        const QString udid = device(QString::fromLatin1(QTest::currentDataTag()), ios, u"demo"_s, encrypt);
        const QHash<QString, qint64> want = expectedFigures(udid, ios.startsWith(u'9'), encrypt);
        QVERIFY(want.value(u"cache"_s) > 0 && want.value(u"junk"_s) > 0 && want.value(u"messages"_s) > 0);
        QCOMPARE(want.value(u"freed"_s), want.value(u"promised"_s));
        QVERIFY2(want.value(u"undone"_s), "vexlar-backup undo leaves the folder as before the clean");

        const auto before = fileTree(files(udid));
        const QString sys = formatSpaceShow(want.value(u"cache"_s) + want.value(u"junk"_s));
        QCOMPARE(press("btnScanSysCache"), QStringList());
        QCOMPARE(child<QLabel>("lbTotalSysCache")->text(), u"(%1)"_s.arg(sys));
        ItemModelAppIcon* junkKinds = m_window->sysFunModel();
        QCOMPARE((QList<qint64>{junkKinds->node(0)->size + junkKinds->node(1)->size, junkKinds->node(2)->size}),
                 (QList<qint64>{want[u"cache"_s], want[u"junk"_s]}));
        QCOMPARE(press("btnScanRemvoeData"), QStringList());
        ItemModelAppIcon* data = m_window->dataFunModel();
        QCOMPARE((QList<qint64>{data->node(0)->size, data->node(1)->size, data->node(2)->size}),
                 (QList<qint64>{want[u"messages"_s], want[u"safari"_s], want[u"calls"_s]}));
        QCOMPARE(fileTree(files(udid)), before);

        // System junk: exactly the cache files and junk attachments go, to the byte.
        QCOMPARE(press("btnClearSysCache"), QStringList{u"Successfully deleted %1 system cache (Total: %1). Now please "
                                                        "disconnect your iPhone from computer."_s.arg(sys)});
        const auto afterSys = fileTree(files(udid));
        const auto sysFile = [](const QString& rel) { return removable(rel, u"cj"_s); };
        QCOMPARE(onlyChanged(before, afterSys, sysFile, u"c"_s), want.value(u"cache"_s));
        QCOMPARE(onlyChanged(before, afterSys, sysFile, u"j"_s), want.value(u"junk"_s));
        QVERIFY(std::none_of(afterSys.keyBegin(), afterSys.keyEnd(), [&afterSys](const QString& rel) {
            return afterSys[rel].startsWith(u'f') && removable(rel, u"c"_s); // every cache and temporary file went
        }));
        QCOMPARE(data->node(0)->size, -1); // the messages' figure held the junk attachments now gone

        // All three data kinds: their files go, their databases are emptied and sound, nothing else changes.
        for (int i = 0; i < 3; ++i) {
            QVERIFY(data->setData(data->index(i, 0), int(Qt::Checked), Qt::CheckStateRole));
        }
        const QStringList boxes = press("btnRemoveData");
        QVERIFY2(shows(boxes, u"Confirm to delete all messages|Successfully deleted"_s), qPrintable(boxes.join(u'|')));
        const QStringList dbs = kFixture[u"databases"_s][u"list"_s].toVariant().toStringList();
        const auto isDb = [&dbs](const QString& rel) {
            const QString db = QString(rel).remove(QRegularExpression(u"-(wal|shm|journal)$"_s));
            return std::any_of(dbs.begin(), dbs.end(), [&db](const QString& d) { return d.startsWith(db + u':'); }) ||
                   removable(rel, u"ms"_s);
        };
        QVERIFY(onlyChanged(afterSys, fileTree(files(udid)), isDb) >= 0);
        const QStringList sound = databases(udid, dbs);
        QVERIFY(sound.size() >= 3);
        QCOMPARE(sound, QStringList(sound.size(), u"ok 0"_s));

        // Undo last clean brings the phone back to its state before the last clean, byte for byte, once; a backup
        // made since, of a phone changed since, leaves the restore point as it was.
        QFile photo(files(udid) + u"/MediaDomain/Media/DCIM/100APPLE/IMG_4001.JPG"_s);
        QVERIFY(photo.open(QIODevice::WriteOnly) && photo.write("taken since") && photo.flush());
        photo.close();
        QCOMPARE(press("btnScanRemvoeData"), QStringList());
        const QStringList undone = press(nullptr);
        QVERIFY2(shows(undone, u"Put back|Brought back"_s), qPrintable(undone.join(u'|')));
        QCOMPARE(fileTree(files(udid)), afterSys);
        QVERIFY2(shows(press(nullptr), u"There is no clean"_s), "one restore point, used up");
    }

    // The messages' details list the phone's conversations; the two ticked there are what Free Up removes, after a
    // confirmation that counts them. A No to that confirmation changes nothing and keeps no restore point.
    void messagesChoice() {
        const QString udid = device(u"messages choice"_s, u"14.4"_s, u"demo"_s, false);
        const QStringList before = conversations(udid);
        QCOMPARE(before.size(), 5);
        auto* view = child<QListView>("listRemoveFun");
        ItemModelAppIcon* data = m_window->dataFunModel();
        QCOMPARE(press("btnScanRemvoeData"), QStringList());
        const qint64 everything = data->node(0)->size;
        QStringList listed, chosen;
        bool refusedNone = false;
        MessageBoxPresenter::setDialogHandler(u"DetailsDlg"_s, [&](QDialog* dlg) {
            auto* list = dlg->findChild<QTreeWidget*>(u"listDetails"_s);
            for (int i = 0; i < list->topLevelItemCount(); ++i) {
                QTreeWidgetItem* line = list->topLevelItem(i);
                listed << u"%1 %2 %3"_s.arg(line->text(0), line->text(1), line->text(2).section(u' ', 0, 0));
                line->setCheckState(0, Qt::Unchecked);
            }
            dlg->accept(); // none ticked is not "every one"
            refusedNone = dlg->isVisible();
            for (int i = 0; i < 2; ++i) {
                list->topLevelItem(i)->setCheckState(0, Qt::Checked);
                chosen << listed.at(i);
            }
            dlg->accept();
        });
        const QPoint at = view->visualRect(data->index(0, 0)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at); // a double-click's first press
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
        listed.sort();
        QVERIFY(refusedNone);
        QCOMPARE(listed, before);
        QVERIFY2(data->node(0)->size > 0 && data->node(0)->size < everything, "the row shows the choice");

        for (int i = 0; i < 3; ++i) {
            data->node(i)->checked = i == 0;
        }
        const auto count = [&chosen](int column) {
            qint64 sum = 0;
            for (const QString& c : chosen) {
                sum += c.section(u' ', column, column).toLongLong();
            }
            return sum;
        };
        const QString figures =
            u"Conversations removed whole: 2. Messages: %1. Attachments: %2 ("_s.arg(count(1)).arg(count(2));
        QStringList boxes = press("btnRemoveData");
        QVERIFY2(shows(boxes, u"of 2 chosen conversations|Successfully deleted"_s) && boxes.first().contains(figures),
                 qPrintable(boxes.join(u'|')));
        QStringList kept = before;
        kept.removeIf([&chosen](const QString& c) { return chosen.contains(c); });
        QCOMPARE(conversations(udid), kept);

        const auto tree = fileTree(files(udid));
        const QString folder = iosbackup_temp_dir().filePath(udid);
        const auto points = restorepoint::list(folder).size();
        boxes = press("btnRemoveData", true, {QMessageBox::No});
        QVERIFY2(shows(boxes, u"Confirm to delete all messages"_s) &&
                     boxes.first().contains(u"Conversations removed whole: 3."_s),
                 qPrintable(boxes.join(u'|')));
        QCOMPARE(fileTree(files(udid)), tree);
        QCOMPARE(restorepoint::list(folder).size(), points);
        QVERIFY2(IOSMobileBackupThread::isReusableBackup(folder, u"14.4"_s), "the backup was never edited");
    }

    // Only the Safari row may restore: a restore fails on the other devices.
    void edgeCases_data() { addRowsFrom(kTables, "edgeCases"); }
    void edgeCases() {
        QFETCH(QString, twist);
        QFETCH(QString, checked);
        QFETCH(QString, boxes);
        QFETCH(bool, reusable);
        const QString udid = device(QString::fromLatin1(QTest::currentDataTag()), u"14.4"_s,
                                    twist == u"empty"_s ? twist : u"demo"_s, twist == u"no password"_s);
        const bool changes = checked == u"s"_s && twist.isEmpty();
        QVERIFY(m_sim.set(udid, u"Sim.Faults.errorCode"_s, changes ? u"null"_s : u"-35"_s));
        QVERIFY(m_sim.set(udid, u"Sim.Faults.errorCodeOperation"_s, u"restore"_s));
        QVERIFY(m_sim.set(udid, u"Lockdown.com.apple.mobile.backup.CloudBackupEnabled"_s,
                          twist == u"icloud"_s ? u"true"_s : u"false"_s));
        QFile history(files(udid) + u"/AppDomain-com.apple.mobilesafari/Library/Safari/History.db"_s);
        QVERIFY(twist != u"bad history"_s ||
                (history.open(QIODevice::WriteOnly) && history.write("not sqlite") && history.flush()));
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
        const auto before = fileTree(files(udid));
        const QStringList shown = press("btnRemoveData", twist != u"no password"_s);
        QVERIFY2(shows(shown, boxes), qPrintable(shown.join(u'|')));
        const auto after = fileTree(files(udid));
        QVERIFY(onlyChanged(before, after, [changes](const QString& rel) {
                    return changes && (removable(rel, u"s"_s) || rel.contains(u"History.db"_s));
                }) >= 0);
        QCOMPARE(after != before, changes);
        // An edit that did not reach the phone must not be the base of the next backup.
        QCOMPARE(IOSMobileBackupThread::isReusableBackup(iosbackup_temp_dir().filePath(udid), u"14.4"_s), reusable);
    }
};

QTEST_MAIN(TestBackupActions)
#include "tst_backupactions.moc"
