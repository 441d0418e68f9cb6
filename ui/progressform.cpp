#include "ui/progressform.h"

#include "app/tips.h"
#include "ui/stylesheet.h"
#include "ui_progressform.h"

#include <QApplication>
#include <QThread>
#include <memory>

ProgressForm::ProgressForm(const QString& title, QWidget* parent)
    : QDialog(parent), ui(new Ui::ProgressForm), m_movable(this) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(getStyleSheet());
    connect(this, &QDialog::finished, this, &ProgressForm::onFinish);
    connect(ui->btnCancel, &QPushButton::pressed, this, &ProgressForm::cancel);
    setWindowTitle(title);
    ui->lbStatus->setText(title);
}

ProgressForm::~ProgressForm() {
    delete ui;
}

void ProgressForm::invokeUpdateProgress(const QString& status, int curProgress, const QString& progressText) {
    QMetaObject::invokeMethod(this, "updateProgress", Qt::AutoConnection, Q_ARG(QString, status),
                              Q_ARG(int, curProgress), Q_ARG(QString, progressText));
}

void ProgressForm::invokeErrorOccurred(const QString& err) {
    QMetaObject::invokeMethod(this, "errorOccurred", Qt::AutoConnection, Q_ARG(QString, err));
}

void ProgressForm::invokeSucceed(const QString& tipsStr) {
    QMetaObject::invokeMethod(this, "succeed", Qt::AutoConnection, Q_ARG(QString, tipsStr));
}

void ProgressForm::invokeTipsWait(const QString& info) {
    tipsWaiting = true;
    QMetaObject::invokeMethod(this, "tipsWait", Qt::AutoConnection, Q_ARG(QString, info));
}

void ProgressForm::setCancelable(bool cancelable) {
    ui->btnCancel->setEnabled(cancelable);
}

bool ProgressForm::isCancelable() const {
    return ui->btnCancel->isEnabled();
}

QString ProgressForm::statusText() const {
    return ui->lbStatus->text();
}

QString ProgressForm::progressText() const {
    return ui->lbProgress->text();
}

int ProgressForm::progressValue() const {
    return ui->progressBar->value();
}

bool ProgressForm::waitForThread(QThread& thread) {
    // Never killed: a worker stopped mid-write would leave a torn file behind.
    // Workers poll the cancel flag between requests, so the wait ends soon after a cancel.
    return thread.wait();
}

void ProgressForm::accept() {}

void ProgressForm::reject() {}

void ProgressForm::updateProgress(QString status, int curProgress, QString progressText) {
    if (!status.isEmpty()) {
        ui->lbStatus->setText(status);
    }
    if (curProgress < 0) {
        curProgress = ui->progressBar->value();
    }
    ui->progressBar->setValue(curProgress);
    if (progressText.isEmpty()) {
        progressText = QStringLiteral("Progress:%1%").arg(ui->progressBar->value());
    }
    ui->lbProgress->setText(progressText);
}

void ProgressForm::errorOccurred(QString err) {
    Tips::error(err);
    done(0);
}

void ProgressForm::succeed(QString tipsStr) {
    if (!tipsStr.isEmpty()) {
        Tips::info(tipsStr);
    }
    done(1);
}

void ProgressForm::tipsWait(QString info) {
    Tips::info(info);
    tipsWaiting = false;
}

void ProgressForm::onFinish(int result) {
    canceled = (result == 0);
}

void ProgressForm::cancel() {
    if (!ui->btnCancel->isEnabled()) {
        return;
    }
    if (!Tips::question(tr("Are You Sure You Want To Cancel?"))) {
        return;
    }
    // The worker may have finished the dialog while the question was open:
    // its verdict stands.
    if (!isVisible()) {
        return;
    }
    emit userCacel();
    done(0);
}

namespace {

class DialogProgressRunner final : public ProgressRunner {
public:
    int run(const ProgressWorkerFactory& makeWorker, bool cancelable) override {
        ProgressForm form(QString(), QApplication::activeWindow());
        form.setCancelable(cancelable);
        std::unique_ptr<QThread> worker(makeWorker(form));
        if (!worker) {
            return 0;
        }
        worker->start();
        const int result = form.exec();
        const bool canceled = form.canceled;
        worker->wait();
        return (result == 1 && !canceled) ? 1 : 0;
    }
};

} // namespace

void installProgressRunner() {
    static DialogProgressRunner runner;
    setProgressRunner(&runner);
}

bool ProgressForm::runWorker(QThread& worker) {
    worker.start();
    const int result = exec();
    const bool ok = (result == 1 && !canceled);
    worker.wait();
    return ok;
}
