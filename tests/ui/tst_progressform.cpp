// The progress dialog and the protocol workers follow with it.

#include "tests/app/datarows.h"
#include "ui/messagebox.h"
#include "ui/progressform.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/ui/tst_progressform.json");

// A worker that runs a script of reports, then optionally waits for the cancel flag.
class ScriptWorker : public QThread {
public:
    ScriptWorker(ProgressReporter& progress, std::function<void(ProgressReporter&)> body)
        : m_progress(progress), m_body(std::move(body)) {}

protected:
    void run() override { m_body(m_progress); }

private:
    ProgressReporter& m_progress;
    std::function<void(ProgressReporter&)> m_body;
};

// A worker body that runs until released or cancelled, and succeeds unless cancelled.
std::function<void(ProgressReporter&)> untilReleased(const std::atomic<bool>& release) {
    return [&release](ProgressReporter& p) {
        while (!p.canceled && !release) {
            QThread::msleep(5);
        }
        if (!p.canceled) {
            p.invokeSucceed(QString());
        }
    };
}

// Runs `during` inside the dialog's modal loop, once it is shown.
void whenShown(ProgressForm& form, std::function<void()> during) {
    QTimer::singleShot(0, &form, [&form, during] {
        QTRY_VERIFY_WITH_TIMEOUT(form.isVisible(), 10000);
        during();
    });
}

} // namespace

class TestProgressForm : public QObject {
    Q_OBJECT

private slots:
    void init() {
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
    }

    void updateProgress_data() { addRowsFrom(kTables, "updateProgress"); }

    void updateProgress() {
        QFETCH(QString, status);
        QFETCH(int, percent);
        QFETCH(QString, detail);
        ProgressForm form;
        form.updateProgress(QStringLiteral("First"), 30, QString());
        form.updateProgress(status, percent, detail);
        QTEST(form.statusText(), "expectStatus");
        QTEST(form.progressValue(), "expectBar");
        QTEST(form.progressText(), "expectDetail");
    }

    // How a run ends: exec's result, the cancel flag and the boxes shown.
    void outcome_data() { addRowsFrom(kTables, "outcome"); }

    void outcome() {
        QFETCH(QString, success);
        QFETCH(int, result);
        QFETCH(QString, box);
        QFETCH(bool, runner);
        QFETCH(bool, tips);
        std::atomic<bool> sawWaiting{false};
        const auto body = [success, tips, &sawWaiting](ProgressReporter& p) {
            if (tips) {
                p.invokeTipsWait(u"Unlock your phone."_s);
                sawWaiting = bool(p.tipsWaiting);
                while (p.tipsWaiting) {
                    QThread::msleep(5);
                }
            }
            p.invokeUpdateProgress(u"Step"_s, 40, QString());
            success.isNull() ? p.invokeErrorOccurred(u"Broken pipe"_s) : p.invokeSucceed(success);
        };
        if (runner) {
            installProgressRunner();
            QCOMPARE(runWithProgress([&](ProgressReporter& p) -> QThread* { return new ScriptWorker(p, body); }, false),
                     result);
        } else {
            ProgressForm form;
            ScriptWorker worker(form, body);
            worker.start();
            QCOMPARE(form.exec(), result);
            worker.wait();
            QCOMPARE(form.canceled, result == 0);
            QCOMPARE(form.statusText(), u"Step"_s);
            QCOMPARE(form.progressText(), u"Progress:40%"_s);
        }
        const QStringList shown = MessageBoxPresenter::shownTexts();
        QCOMPARE(shown.size(), box.isNull() ? 0 : 1);
        QVERIFY(box.isNull() || shown.first().contains(box));
        QCOMPARE(sawWaiting, tips);
    }

    // What the user does while the worker runs: only succeed, errorOccurred or a confirmed cancel close the form.
    void userActions_data() { addRowsFrom(kTables, "userActions"); }

    void userActions() {
        QFETCH(QString, action);
        QFETCH(bool, confirm);
        QFETCH(int, result);
        ProgressForm form;
        form.setCancelable(action != u"cancel, not cancelable"_s);
        QSignalSpy userCancel(&form, &ProgressForm::userCacel);
        std::atomic<bool> release{false};
        ScriptWorker worker(form, untilReleased(release));
        worker.start();
        MessageBoxPresenter::setNextAnswers({confirm ? QMessageBox::Yes : QMessageBox::No});
        bool stillOpen = false;
        whenShown(form, [&] {
            if (action == u"keys"_s) {
                for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
                    QTest::keyClick(&form, key);
                }
                form.close();
                form.reject();
                form.accept();
            } else {
                QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("btnCancel")), Qt::LeftButton);
            }
            QCoreApplication::processEvents();
            stillOpen = form.isVisible();
            // Only now may an unconfirmed run finish on its own.
            QTimer::singleShot(0, &form, [&release] { release = true; });
        });
        QCOMPARE(form.exec(), result);
        const bool canceled = form.canceled;
        worker.wait();
        QVERIFY(stillOpen || result == 0);
        QCOMPARE(canceled, result == 0);
        QCOMPARE(userCancel.count(), result == 0 ? 1 : 0);
        QCOMPARE(MessageBoxPresenter::shownTexts(),
                 action == u"cancel"_s ? QStringList{u"Are You Sure You Want To Cancel?"_s} : QStringList());
    }

    void waitForThreadNeverKills() {
        ProgressForm form;
        std::atomic<bool> finished{false};
        // After the cancel the worker still needs a while to finish the file it is writing.
        ScriptWorker writer(form, [&finished](ProgressReporter& p) {
            while (!p.canceled) {
                QThread::msleep(5);
            }
            QThread::msleep(1500);
            finished = true;
        });
        writer.start();
        form.onFinish(0);
        QVERIFY(form.waitForThread(writer));
        QVERIFY(finished);
    }
};

QTEST_MAIN(TestProgressForm)
#include "tst_progressform.moc"
