#include "tools/vexlar-backup/passwordsource.h"

#include <QFile>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxPasswordFileSize = 64 * 1024;
constexpr int kMaxPromptLength = 4096;

// The terminal state to put back if the user interrupts the prompt.
termios g_savedTerminal;
volatile sig_atomic_t g_terminalChanged = 0;
constexpr int kPromptSignals[] = {SIGINT, SIGTERM};
struct sigaction g_savedActions[std::size(kPromptSignals)];

void restoreSavedActions() {
    for (size_t i = 0; i < std::size(kPromptSignals); ++i) {
        ::sigaction(kPromptSignals[i], &g_savedActions[i], nullptr);
    }
}

// Puts the terminal and the handlers from before the prompt back, then lets the
// signal act as it would have without the prompt (the plain-file clean-up included):
// it stays pending while this handler runs and is delivered once it returns.
extern "C" void restoreTerminalAndReraise(int sig) {
    if (g_terminalChanged) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    }
    restoreSavedActions();
    ::raise(sig);
}

std::optional<QString> promptWithoutEcho() {
    if (!isatty(STDIN_FILENO)) {
        return std::nullopt;
    }
    std::fputs("Backup password: ", stderr);
    std::fflush(stderr);
    if (tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) {
        return std::nullopt;
    }
    termios quiet = g_savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    struct sigaction promptAction {};
    promptAction.sa_handler = restoreTerminalAndReraise;
    promptAction.sa_flags = SA_RESETHAND;
    sigemptyset(&promptAction.sa_mask);
    for (size_t i = 0; i < std::size(kPromptSignals); ++i) {
        ::sigaction(kPromptSignals[i], nullptr, &g_savedActions[i]);
        if (g_savedActions[i].sa_handler != SIG_IGN) { // ignored by whoever started us: it stays so
            ::sigaction(kPromptSignals[i], &promptAction, nullptr);
        }
    }
    g_terminalChanged = 1;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);

    QByteArray line;
    char c = 0;
    bool gotLine = false;
    while (line.size() < kMaxPromptLength) {
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n <= 0) {
            break;
        }
        if (c == '\n') {
            gotLine = true;
            break;
        }
        line.append(c);
    }
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    g_terminalChanged = 0;
    // Restored whole: std::signal would reinstall a handler without SA_RESETHAND, whose re-raise then runs it
    // again and again while the work goes on.
    restoreSavedActions();
    if (!gotLine && line.isEmpty()) {
        return std::nullopt;
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    return QString::fromUtf8(line);
}

} // namespace

std::optional<QString> readPasswordFile(const QString& path, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the password file %1: %2").arg(path, f.errorString());
        return std::nullopt;
    }
    if (f.size() > kMaxPasswordFileSize) {
        *error = QStringLiteral("the password file %1 is too large to hold a password").arg(path);
        return std::nullopt;
    }
    QByteArray data = f.readAll();
    // Only the line end goes: blanks are part of a password.
    qsizetype eol = data.indexOf('\n');
    if (eol >= 0) {
        data.truncate(eol);
    }
    if (data.endsWith('\r')) {
        data.chop(1);
    }
    return QString::fromUtf8(data);
}

PasswordResult obtainPassword(const QString& passwordFile, bool allowPrompt) {
    PasswordResult r;
    if (!passwordFile.isEmpty()) {
        if (auto p = readPasswordFile(passwordFile, &r.error)) {
            r.origin = PasswordOrigin::File;
            r.password = *p;
        }
        return r;
    }
    if (qEnvironmentVariableIsSet("VEXLAR_BACKUP_PASSWORD")) {
        r.origin = PasswordOrigin::Environment;
        r.password = qEnvironmentVariable("VEXLAR_BACKUP_PASSWORD");
        return r;
    }
    if (allowPrompt) {
        if (auto p = promptWithoutEcho()) {
            r.origin = PasswordOrigin::Terminal;
            r.password = *p;
        }
    }
    return r;
}
