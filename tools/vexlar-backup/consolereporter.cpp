#include "tools/vexlar-backup/consolereporter.h"

#include <QByteArray>

ConsoleReporter::ConsoleReporter(std::FILE* out, bool terminal) : m_out(out), m_terminal(terminal) {}

ConsoleReporter::~ConsoleReporter() {
    endLine();
}

void ConsoleReporter::invokeUpdateProgress(const QString& status, int curProgress, const QString& progressText) {
    QMutexLocker locker(&m_lock);
    if (!status.isEmpty()) {
        m_status = status;
    }
    if (curProgress >= 0) {
        m_percent = qBound(0, curProgress, 100);
    }
    if (!m_terminal) {
        return;
    }
    const QString detail = progressText.isEmpty() ? QStringLiteral("%1%").arg(m_percent) : progressText;
    // Clear to the end of the line: a shorter text must not leave the tail of a longer one.
    const QByteArray line = (QStringLiteral("\r%1 %2").arg(m_status, detail)).toUtf8() + "\x1b[K";
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_out);
    std::fflush(m_out);
    m_lineOpen = true;
}

void ConsoleReporter::invokeErrorOccurred(const QString& err) {
    QMutexLocker locker(&m_lock);
    m_error = err;
    finish(0);
}

void ConsoleReporter::invokeSucceed(const QString&) {
    // The cleaners end without a text of their own; the command prints the figures.
    QMutexLocker locker(&m_lock);
    finish(1);
}

void ConsoleReporter::invokeTipsWait(const QString& info) {
    {
        QMutexLocker locker(&m_lock);
        const QByteArray text = (m_lineOpen ? QStringLiteral("\n%1\n") : QStringLiteral("%1\n")).arg(info).toUtf8();
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), m_out);
        std::fflush(m_out);
        m_lineOpen = false;
    }
    // Nobody answers a box here: the worker may go on at once.
    tipsWaiting = false;
}

void ConsoleReporter::finish(int result) {
    if (m_result < 0) {
        m_result = result;
        canceled = (result == 0);
    }
}

int ConsoleReporter::result() const {
    QMutexLocker locker(&m_lock);
    return m_result;
}

QString ConsoleReporter::error() const {
    QMutexLocker locker(&m_lock);
    return m_error;
}

void ConsoleReporter::endLine() {
    QMutexLocker locker(&m_lock);
    if (m_lineOpen) {
        std::fputc('\n', m_out);
        std::fflush(m_out);
        m_lineOpen = false;
    }
}
