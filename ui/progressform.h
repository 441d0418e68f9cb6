#pragma once

// The modal dialog every worker thread reports to.
//
// Workers call the invoke* operations from their own thread; each queues the
// slot of the same name to the dialog's thread. The dialog closes only
// through succeed, errorOccurred or a confirmed cancel: Return, Escape and the
// window system cannot close it.

#include "app/progressreporter.h"
#include "ui/winmovable.h"

#include <QDialog>
#include <QString>

class QThread;

namespace Ui {
class ProgressForm;
}

class ProgressForm : public QDialog, public ProgressReporter {
    Q_OBJECT
public:
    explicit ProgressForm(const QString& title = QString(), QWidget* parent = nullptr);
    ~ProgressForm() override;

    void invokeUpdateProgress(const QString& status, int curProgress, const QString& progressText) override;
    void invokeErrorOccurred(const QString& err) override;
    void invokeSucceed(const QString& tipsStr) override;
    void invokeTipsWait(const QString& info) override;

    void setCancelable(bool cancelable);
    // Waits for the thread to end, also after a cancel: a worker is never killed.
    bool waitForThread(QThread& thread);
    // Starts the worker, shows the dialog until it ends and waits for the thread. True when the dialog ended with
    // success and was not cancelled.
    bool runWorker(QThread& worker);

    // Read-only views for callers and tests.
    QString statusText() const;
    QString progressText() const;
    int progressValue() const;
    bool isCancelable() const;

public slots:
    void accept() override;
    void reject() override;

    void updateProgress(QString status, int curProgress, QString progressText);
    void errorOccurred(QString err);
    void succeed(QString tipsStr);
    void tipsWait(QString info);
    void onFinish(int result);
    void cancel();

signals:
    void userCacel();

private:
    Ui::ProgressForm* ui;
    WinMovable m_movable;
};

// Installs the dialog-backed runner that the backup store uses (runWithProgress).
void installProgressRunner();
