// The progress dialog and the protocol workers follow with it.

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

namespace {

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

    void updateProgress_data() {
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("expectStatus");
        QTest::addColumn<int>("expectBar");
        QTest::addColumn<QString>("expectDetail");
        // The dialog starts each row with status "First" and the bar at 30.
        QTest::newRow("all given") << "Second" << 60 << "file.txt"
                                   << "Second" << 60 << "file.txt";
        QTest::newRow("empty status keeps the line") << "" << 45 << "x"
                                                     << "First" << 45 << "x";
        QTest::newRow("negative keeps the bar") << "S" << -1 << ""
                                                << "S" << 30 << "Progress:30%";
        QTest::newRow("empty detail shows percent") << "" << 100 << ""
                                                    << "First" << 100 << "Progress:100%";
    }

    void updateProgress() {
        QFETCH(QString, status);
        QFETCH(int, percent);
        QFETCH(QString, detail);
        ProgressForm form;
        form.updateProgress(QStringLiteral("First"), 30, QString());
        QCOMPARE(form.progressText(), QStringLiteral("Progress:30%"));
        form.updateProgress(status, percent, detail);
        QTEST(form.statusText(), "expectStatus");
        QTEST(form.progressValue(), "expectBar");
        QTEST(form.progressText(), "expectDetail");
    }

    void workerReportsReachTheDialog() {
        ProgressForm form;
        ScriptWorker worker(form, [](ProgressReporter& p) {
            p.invokeUpdateProgress(QStringLiteral("Step"), 40, QString());
            p.invokeSucceed(QString());
        });
        worker.start();
        const int result = form.exec();
        worker.wait();
        QCOMPARE(result, 1);
        QVERIFY(!form.canceled);
        QCOMPARE(form.statusText(), QStringLiteral("Step"));
        QCOMPARE(form.progressText(), QStringLiteral("Progress:40%"));
        QVERIFY(MessageBoxPresenter::shownTexts().isEmpty());
    }

    void succeedWithTextShowsInfo() {
        ProgressForm form;
        ScriptWorker worker(form, [](ProgressReporter& p) { p.invokeSucceed(QStringLiteral("All done.")); });
        worker.start();
        QCOMPARE(form.exec(), 1);
        worker.wait();
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList{QStringLiteral("All done.")});
    }

    void errorClosesWithZero() {
        ProgressForm form;
        ScriptWorker worker(form, [](ProgressReporter& p) { p.invokeErrorOccurred(QStringLiteral("Broken pipe")); });
        worker.start();
        QCOMPARE(form.exec(), 0);
        worker.wait();
        QVERIFY(form.canceled);
        QCOMPARE(MessageBoxPresenter::shownTexts().size(), 1);
        QVERIFY(MessageBoxPresenter::shownTexts().first().contains(QStringLiteral("Broken pipe")));
    }

    void cancelQuestion_data() {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("No keeps working") << false;
        QTest::newRow("Yes cancels") << true;
    }

    void cancelQuestion() {
        QFETCH(bool, confirm);
        ProgressForm form;
        QSignalSpy userCancel(&form, &ProgressForm::userCacel);
        std::atomic<bool> release{false};
        // The worker runs until it sees the cancel flag or is released.
        ScriptWorker worker(form, [&release](ProgressReporter& p) {
            while (!p.canceled && !release) {
                QThread::msleep(5);
            }
            if (!p.canceled) {
                p.invokeSucceed(QString());
            }
        });
        worker.start();
        MessageBoxPresenter::setNextAnswers({confirm ? QMessageBox::Yes : QMessageBox::No});
        whenShown(form, [&form, &release] {
            QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("btnCancel")), Qt::LeftButton);
            // Only now may an unconfirmed run finish on its own.
            QTimer::singleShot(0, &form, [&release] { release = true; });
        });
        const int result = form.exec();
        const bool canceled = form.canceled;
        worker.wait();
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList{QStringLiteral("Are You Sure You Want To Cancel?")});
        QCOMPARE(result, confirm ? 0 : 1);
        QCOMPARE(canceled, confirm);
        QCOMPARE(userCancel.count(), confirm ? 1 : 0);
    }

    void nonCancelableIgnoresTheButton() {
        ProgressForm form;
        form.setCancelable(false);
        ScriptWorker worker(form, [](ProgressReporter& p) {
            QThread::msleep(50);
            p.invokeSucceed(QString());
        });
        worker.start();
        whenShown(form, [&form] {
            QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("btnCancel")), Qt::LeftButton);
        });
        QCOMPARE(form.exec(), 1);
        worker.wait();
        QVERIFY(MessageBoxPresenter::shownTexts().isEmpty());
    }

    void keysAndCloseDoNothing() {
        ProgressForm form;
        std::atomic<bool> release{false};
        ScriptWorker worker(form, [&release](ProgressReporter& p) {
            while (!release) {
                QThread::msleep(5);
            }
            p.invokeSucceed(QString());
        });
        worker.start();
        bool stillOpen = false;
        whenShown(form, [&] {
            QTest::keyClick(&form, Qt::Key_Escape);
            QTest::keyClick(&form, Qt::Key_Return);
            QTest::keyClick(&form, Qt::Key_Enter);
            form.close();
            form.reject();
            form.accept();
            QCoreApplication::processEvents();
            stillOpen = form.isVisible();
            release = true;
        });
        QCOMPARE(form.exec(), 1);
        worker.wait();
        QVERIFY(stillOpen);
        QVERIFY(MessageBoxPresenter::shownTexts().isEmpty());
    }

    void tipsWaitClearsTheFlag() {
        ProgressForm form;
        bool sawWaiting = false;
        ScriptWorker worker(form, [&sawWaiting](ProgressReporter& p) {
            p.invokeTipsWait(QStringLiteral("Unlock your phone."));
            sawWaiting = p.tipsWaiting;
            while (p.tipsWaiting) {
                QThread::msleep(5);
            }
            p.invokeSucceed(QString());
        });
        worker.start();
        QCOMPARE(form.exec(), 1);
        worker.wait();
        QVERIFY(sawWaiting);
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList{QStringLiteral("Unlock your phone.")});
    }

    void waitForThreadTerminatesAfterCancel() {
        ProgressForm form;
        // A thread that never polls the flag.
        ScriptWorker stubborn(form, [](ProgressReporter&) {
            for (;;) {
                QThread::msleep(10);
            }
        });
        stubborn.start();
        form.onFinish(0);
        QVERIFY(form.canceled);
        QVERIFY(form.waitForThread(stubborn));
        QVERIFY(stubborn.isFinished());

        ProgressForm other;
        ScriptWorker quick(other, [](ProgressReporter&) { QThread::msleep(20); });
        quick.start();
        QVERIFY(other.waitForThread(quick));
    }

    void runnerRunsAWorkerUnderTheDialog() {
        installProgressRunner();
        QString seen;
        const int ok = runWithProgress(
            [&seen](ProgressReporter& p) -> QThread* {
                return new ScriptWorker(p, [&seen](ProgressReporter& r) {
                    r.invokeUpdateProgress(QStringLiteral("Checking password"), 50, QString());
                    seen = QStringLiteral("ran");
                    r.invokeSucceed(QString());
                });
            },
            false);
        QCOMPARE(ok, 1);
        QCOMPARE(seen, QStringLiteral("ran"));
        const int failed = runWithProgress(
            [](ProgressReporter& p) -> QThread* {
                return new ScriptWorker(p, [](ProgressReporter& r) { r.invokeErrorOccurred(QStringLiteral("bad")); });
            },
            false);
        QCOMPARE(failed, 0);
    }
};

QTEST_MAIN(TestProgressForm)
#include "tst_progressform.moc"
