#pragma once

// The command line's stand-in for the progress dialog: the workers report to
// it from their own thread; a terminal on standard error gets one progress
// line, redrawn in place, and anything else (a log, a pipe) nothing but the
// errors the command prints itself.

#include "app/progressreporter.h"

#include <QMutex>
#include <QString>
#include <cstdio>

class ConsoleReporter final : public ProgressReporter {
public:
    // terminal: whether `out` is a terminal; the progress line is drawn only then.
    ConsoleReporter(std::FILE* out, bool terminal);
    ~ConsoleReporter() override;

    void invokeUpdateProgress(const QString& status, int curProgress, const QString& progressText) override;
    void invokeErrorOccurred(const QString& err) override;
    void invokeSucceed(const QString& tipsStr) override;
    void invokeTipsWait(const QString& info) override;

    // 1 after a success, 0 after an error, -1 while the worker has not ended with either.
    int result() const;
    QString error() const;
    // Ends the progress line, so what follows starts on a fresh one.
    void endLine();

private:
    void finish(int result);

    std::FILE* m_out;
    bool m_terminal;
    mutable QMutex m_lock;
    QString m_status;
    int m_percent = 0;
    bool m_lineOpen = false;
    int m_result = -1;
    QString m_error;
};
