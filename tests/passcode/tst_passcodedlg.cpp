// PasscodeDlg on a real encrypted backup, with the real progress dialog;
// message boxes are answered through the message-box test hook.

#include "backup/backupmanifest.h"
#include "tests/backupinterop/peer.h"
#include "ui/messagebox.h"
#include "ui/passcodedlg.h"
#include "ui/progressform.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <functional>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Runs `during` inside the dialog's modal loop once it is shown.
void whenShown(QDialog& dlg, std::function<void()> during) {
    QTimer::singleShot(0, &dlg, [&dlg, during] {
        QTRY_VERIFY_WITH_TIMEOUT(dlg.isVisible(), 10000);
        during();
        // A failed check must not leave the test waiting on an open dialog.
        if (QTest::currentTestFailed() && dlg.isVisible()) {
            dlg.done(-1);
        }
    });
}

// Types a password and presses OK; returns once the check (progress dialog
// and any warning box) is over.
void tryPassword(QDialog& dlg, const QString& text) {
    auto* edit = dlg.findChild<QLineEdit*>(u"txtPasscode"_s);
    auto* ok = dlg.findChild<QPushButton*>(u"btnOK"_s);
    QVERIFY(edit && ok);
    edit->clear();
    // Key events carrying the text, so letters outside ASCII are typed as a user would.
    for (QChar c : text) {
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    QCOMPARE(edit->text(), text);
    QTest::mouseClick(ok, Qt::LeftButton);
}

} // namespace

class TestPasscodeDlg : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    QTemporaryDir m_plainTmp; // the process's temporary folder, where the decrypted manifest goes
    QString m_backup;
    QTranslator m_translator;

    // Nothing new in the backup folder, and no plain copy left once the manifest object is gone.
    void checkNoPlaintextLeft(const QString& backup, const QStringList& backupFiles) {
        QCOMPARE(QDir(backup).entryList(QDir::AllEntries | QDir::Hidden), backupFiles);
        QCOMPARE(QDir(m_plainTmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }

private slots:
    void initTestCase() {
        QVERIFY(m_translator.load(u":/en.qm"_s));
        QCoreApplication::installTranslator(&m_translator);
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        installProgressRunner();
        const QString src = m_tmp.filePath(u"src"_s);
        PeerResult r = runPeer({u"gen-src"_s, src, u"--large"_s, u"1000"_s});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        m_backup = m_tmp.filePath(u"backup"_s);
        QVERIFY(writeBackup({"db", "14.3", peerPassword(), false}, src, m_backup));
        qputenv("TMPDIR", QFile::encodeName(m_plainTmp.path()));
    }

    void init() {
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
    }

    // Wrong passwords then the right one, and giving up, are in tst_faults' matrix too; these rows add
    // what it does not type: an empty field, blanks, letters outside ASCII, Escape and the Cancel button.
    void wrongThenRight_data() {
        QTest::addColumn<QStringList>("wrong");
        QTest::addColumn<QString>("finish"); // "right": the right password; else Escape or the named button
        // An empty field is refused before any check; blanks are tried as typed, never trimmed away.
        QTest::newRow("empty, blanks, non-ASCII, then right")
            << QStringList{QString(), "   ", "p\u00e4ssw\u00f6rd", peerPassword() + u' '} << "right";
        QTest::newRow("escape") << QStringList{} << "Escape";
        QTest::newRow("cancel button") << QStringList{} << "btnCancel";
    }

    void wrongThenRight() {
        QFETCH(QStringList, wrong);
        QFETCH(QString, finish);
        const bool unlocks = finish == "right"_L1;
        const QStringList files = QDir(m_backup).entryList(QDir::AllEntries | QDir::Hidden);
        auto owned = std::make_unique<BackupManifest>(m_backup);
        BackupManifest& m = *owned;
        m.readManifestInfo();
        PasscodeDlg dlg(&m);
        // The password is never shown.
        QCOMPARE(dlg.findChild<QLineEdit*>(u"txtPasscode"_s)->echoMode(), QLineEdit::Password);
        whenShown(dlg, [&] {
            for (const QString& pw : wrong) {
                tryPassword(dlg, pw);
                QVERIFY(dlg.isVisible());
                QVERIFY(dlg.findChild<QLineEdit*>(u"txtPasscode"_s)->text().isEmpty());
                QVERIFY2(m.passcode.isEmpty(), qPrintable(pw + u" unlocked as "_s + m.passcode));
            }
            if (unlocks) {
                tryPassword(dlg, peerPassword());
            } else if (finish == "Escape"_L1) {
                QTest::keyClick(&dlg, Qt::Key_Escape);
            } else {
                QTest::mouseClick(dlg.findChild<QPushButton*>(finish), Qt::LeftButton);
            }
        });
        QCOMPARE(dlg.exec(), int(unlocks));
        QCOMPARE(dlg.password, unlocks ? peerPassword() : QString());
        QCOMPARE(m.passcode, dlg.password);
        QStringList expected;
        for (const QString& pw : wrong) {
            expected << (pw.isEmpty() ? u"Password is required."_s : u"Invalid password."_s);
        }
        QCOMPARE(MessageBoxPresenter::shownTexts(), expected);
        // Each non-empty try ran under the progress dialog.
        QCOMPARE(MessageBoxPresenter::shownDialogs().count(u"ProgressForm"_s),
                 wrong.size() - wrong.count(QString()) + int(unlocks));
        // Unlocked for real: the manifest reads, from a copy outside the backup that goes with the object.
        if (unlocks) {
            m.parseInfo();
            QVERIFY(m.smsDb);
            QVERIFY(m.decryptedManifestDbPath.startsWith(m_plainTmp.path()));
        }
        owned.reset();
        checkNoPlaintextLeft(m_backup, files);
    }

    void checkThatThrowsShowsBothBoxes() {
        // A torn Manifest.db: the right password unlocks the keybag, then decrypting the manifest fails.
        const QString broken = m_tmp.filePath(u"broken"_s);
        QDir().mkpath(broken);
        for (const QString& name : QDir(m_backup).entryList(QDir::Files)) {
            if (name.endsWith(".plist"_L1) || name == "Manifest.db"_L1) {
                QVERIFY(QFile::copy(m_backup + u'/' + name, broken + u'/' + name));
            }
        }
        QFile db(broken + u"/Manifest.db"_s);
        QVERIFY(db.resize(db.size() - 5));
        const QStringList files = QDir(broken).entryList(QDir::AllEntries | QDir::Hidden);

        BackupManifest m(broken);
        m.readManifestInfo();
        PasscodeDlg dlg(&m);
        whenShown(dlg, [&] {
            tryPassword(dlg, peerPassword());
            QVERIFY(dlg.isVisible());
            dlg.reject();
        });
        QCOMPARE(dlg.exec(), 0);
        QVERIFY(dlg.password.isEmpty());
        const QStringList texts = MessageBoxPresenter::shownTexts();
        QCOMPARE(texts.size(), 2);
        // The error box wraps the worker's text with the product header and the support line.
        QVERIFY2(
            texts[0].contains(u"IOSiTunesBKSetPasswordThread: Manifest.db, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH"_s),
            qPrintable(texts[0]));
        QCOMPARE(texts[1], u"Invalid password."_s);
        // No partial plain copy, even while the manifest object still lives.
        checkNoPlaintextLeft(broken, files);
    }
};

QTEST_MAIN(TestPasscodeDlg)
#include "tst_passcodedlg.moc"
