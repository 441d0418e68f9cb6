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
    QTranslator m_translator;

private slots:
    void initTestCase() {
        QVERIFY(m_translator.load(u":/en.qm"_s));
        QCoreApplication::installTranslator(&m_translator);
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        installProgressRunner();
        const QString src = m_tmp.filePath(u"src"_s), backup = m_tmp.filePath(u"backup"_s);
        PeerResult r = runPeer({u"gen-src"_s, src, u"--large"_s, u"1000"_s});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(writeBackup({"db", "14.3", peerPassword(), false}, src, backup));
        // A torn Manifest.db: the right password unlocks the keybag, then decrypting the manifest fails.
        QVERIFY(QDir().mkpath(m_tmp.filePath(u"torn"_s)));
        for (const QString& name : QDir(backup).entryList({u"*.plist"_s, u"Manifest.db"_s}, QDir::Files)) {
            QVERIFY(QFile::copy(backup + u'/' + name, m_tmp.filePath(u"torn/"_s + name)));
        }
        QFile db(m_tmp.filePath(u"torn/Manifest.db"_s));
        QVERIFY(db.resize(db.size() - 5));
        qputenv("TMPDIR", QFile::encodeName(m_plainTmp.path()));
    }

    void init() {
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
    }

    // Wrong passwords then the right one, and giving up, are in tst_faults' matrix too; these rows add
    // what it does not type: an empty field, blanks, letters outside ASCII, Escape and the Cancel button,
    // and a manifest that the right password cannot decrypt.
    void passwords_data() {
        QTest::addColumn<QString>("backup");
        QTest::addColumn<QStringList>("typed"); // "@": the right password
        QTest::addColumn<QString>("finish");    // empty: the last password unlocks; else Escape, a button or reject
        QTest::addColumn<QStringList>("shown"); // part of each box's text
        const QString invalid = u"Invalid password."_s;
        // An empty field is refused before any check; blanks are tried as typed, never trimmed away.
        QTest::newRow("empty, blanks, non-ASCII, then right")
            << u"backup"_s << QStringList{QString(), "   ", "p\u00e4ssw\u00f6rd", "@ ", "@"} << QString()
            << QStringList{u"Password is required."_s, invalid, invalid, invalid};
        QTest::newRow("escape") << u"backup"_s << QStringList{} << "Escape" << QStringList{};
        QTest::newRow("cancel button") << u"backup"_s << QStringList{} << "btnCancel" << QStringList{};
        // The error box wraps the worker's text with the product header and the support line.
        QTest::newRow("torn manifest: both boxes")
            << u"torn"_s << QStringList{"@"} << "reject"
            << QStringList{u"IOSiTunesBKSetPasswordThread: Manifest.db, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH"_s,
                           invalid};
    }

    void passwords() {
        QFETCH(QString, backup);
        QFETCH(QStringList, typed);
        QFETCH(QString, finish);
        QFETCH(QStringList, shown);
        typed.replaceInStrings(u"@"_s, peerPassword());
        const bool unlocks = finish.isEmpty();
        const auto plainCopies = [this] {
            return QDir(m_plainTmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
        };
        const QString dir = m_tmp.filePath(backup);
        const QStringList files = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden);
        auto owned = std::make_unique<BackupManifest>(dir);
        BackupManifest& m = *owned;
        m.readManifestInfo();
        PasscodeDlg dlg(&m);
        // The password is never shown.
        QCOMPARE(dlg.findChild<QLineEdit*>(u"txtPasscode"_s)->echoMode(), QLineEdit::Password);
        whenShown(dlg, [&] {
            for (qsizetype i = 0; i < typed.size(); ++i) {
                tryPassword(dlg, typed[i]);
                if (unlocks && i == typed.size() - 1) {
                    return;
                }
                QVERIFY(dlg.isVisible());
                QVERIFY(dlg.findChild<QLineEdit*>(u"txtPasscode"_s)->text().isEmpty());
                QVERIFY2(m.passcode.isEmpty(), qPrintable(typed[i] + u" unlocked as "_s + m.passcode));
            }
            if (finish == "Escape"_L1) {
                QTest::keyClick(&dlg, Qt::Key_Escape);
            } else if (finish == "reject"_L1) {
                dlg.reject();
            } else if (!unlocks) {
                QTest::mouseClick(dlg.findChild<QPushButton*>(finish), Qt::LeftButton);
            }
        });
        QCOMPARE(dlg.exec(), int(unlocks));
        QCOMPARE(dlg.password, unlocks ? peerPassword() : QString());
        QCOMPARE(m.passcode, dlg.password);
        const QStringList texts = MessageBoxPresenter::shownTexts();
        QCOMPARE(texts.size(), shown.size());
        for (qsizetype i = 0; i < shown.size(); ++i) {
            QVERIFY2(texts[i].contains(shown[i]), qPrintable(texts[i]));
        }
        // Each non-empty try ran under the progress dialog.
        QCOMPARE(MessageBoxPresenter::shownDialogs().count(u"ProgressForm"_s), typed.size() - typed.count(QString()));
        if (unlocks) {
            // Unlocked for real: the manifest reads, from a copy outside the backup that goes with the object.
            m.parseInfo();
            QVERIFY(m.smsDb);
            QVERIFY(m.decryptedManifestDbPath.startsWith(m_plainTmp.path()));
        } else {
            QCOMPARE(plainCopies(), QStringList()); // not even a partial one, while the manifest object lives
        }
        owned.reset();
        // Nothing new in the backup folder, and no plain copy left once the manifest object is gone.
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden), files);
        QCOMPARE(plainCopies(), QStringList());
    }
};

QTEST_MAIN(TestPasscodeDlg)
#include "tst_passcodedlg.moc"
