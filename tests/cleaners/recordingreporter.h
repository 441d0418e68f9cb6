#pragma once

// Records every report of a worker, safe to read while it runs. With cancelOnError an error sets `canceled`, as the
// dialog does once it has closed.

#include "app/progressreporter.h"

#include <QMutex>
#include <QStringList>

class RecordingReporter final : public ProgressReporter {
public:
    explicit RecordingReporter(bool cancelOnError = false) : m_cancelOnError(cancelOnError) {}
    struct Update {
        QString status;
        int percent;
        QString text;
    };
    void invokeUpdateProgress(const QString& status, int percent, const QString& text) override {
        QMutexLocker lock(&m);
        updates.append({status, percent, text});
    }
    void invokeErrorOccurred(const QString& err) override {
        QMutexLocker lock(&m);
        errors.append(err);
        canceled = canceled || m_cancelOnError;
    }
    void invokeSucceed(const QString& tips) override {
        QMutexLocker lock(&m);
        successes.append(tips);
    }
    void invokeTipsWait(const QString&) override { tipsWaiting = false; }
    // How many updates so far had this status and detail line.
    int count(const QString& status, const QString& text) {
        QMutexLocker lock(&m);
        return int(std::count_if(updates.cbegin(), updates.cend(),
                                 [&](const Update& u) { return u.status == status && u.text == text; }));
    }

    QMutex m;
    QList<Update> updates;
    QStringList errors, successes;

private:
    const bool m_cancelOnError;
};
