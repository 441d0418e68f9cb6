#pragma once

// Driver of the backup helper: a child process that performs one full backup
// or restore and talks to us over two anonymous pipes.
//
// Framing, both directions: a 4-byte signed length in host byte order, then
// exactly that many bytes of a property list (we write XML; replies may be XML
// or binary). The helper reports {AMSBackupPercentageKey: n} while it works
// (and {AMSPasscodeRequestedKey: true} while the device waits for its
// passcode, shown as the progress title, false once it has it), ends with an empty dictionary, or with a dictionary
// holding a non-zero "errorCode" on failure; its "deviceErrorDescription", the device's own words, follows the user's
// text.
//
// The helper executable is VEXLAR_BACKUP_HELPER when set, else the installed vexlar-mb2helper.

#include "device/cftype.h"
#include "device/mobiledevice_abi.h"

#include <QDir>
#include <QObject>
#include <QString>
#include <atomic>

class QProcess;

enum backup2tool_op { OP_BACKUP = 0, OP_RESTORE = 1 };

struct _backup2tool_req {
    explicit _backup2tool_req(backup2tool_op o) : op(o) {}
    backup2tool_op op;
    QString password; // restore only; empty: none sent
};

class backup2tool : public QObject {
    Q_OBJECT
public:
    // Pipe A carries replies (helper -> us), pipe B requests (us -> helper).
    // -1 marks a closed slot (0 is a valid descriptor when stdin is closed).
    struct _PIPE {
        int fd[4] = {-1, -1, -1, -1};
        int& replyRead() { return fd[0]; }
        int& replyWrite() { return fd[1]; }  // the helper's end
        int& requestRead() { return fd[2]; } // the helper's end
        int& requestWrite() { return fd[3]; }
        int replyRead() const { return fd[0]; }
        int requestWrite() const { return fd[3]; }
    };

    backup2tool(am_device* device, QString targetIdentifier, QDir rootDir, QObject* parent = nullptr);

    // One whole backup or restore. Returns on success and on cancel; throws
    // std::runtime_error with a user-facing text on failure. Never leaves a
    // descriptor or a child process behind.
    void runThrow(const _backup2tool_req& req);

    double progress() const { return m_percentage; }
    QString status1() const { return m_status1; }
    QString status2() const { return m_status2; }

    // Also honoured: a flag owned by someone else (the progress dialog's), polled with ours.
    const std::atomic<bool>* externalCancel = nullptr;
    // How long one read or write may wait for the helper before it counts as a
    // time-out ("Invalid Response" for reads). Cancel is seen within kSliceMs regardless.
    int timeoutMs = 60000;
    static constexpr int kSliceMs = 100;
    // Replies longer than this are refused unread.
    static constexpr qint32 kMaxReply = 16 * 1024 * 1024;

    static quint64 get_freespace(const QDir& dir);
    // The user-facing text for a helper error code (codes not in the table share the last text).
    static QString errorText(int errorCode, backup2tool_op op);
    // The request dictionary sent to the helper.
    CFType requestFor(const _backup2tool_req& req) const;
    static QString helperPath();

    bool startAppleMobileBackup(QProcess& process, _PIPE& pipes);
    bool writePipeRequest(const _PIPE& pipes, const CFType& request);
    // Null on time-out, end of file, a bad length or a body that does not parse.
    CFType readPipeReponse(const _PIPE& pipes);
    int readPipe(const _PIPE& pipes, char* buffer, int n);
    int writePipe(const _PIPE& pipes, const char* buffer, int n, bool sync);
    static void closePipe(_PIPE& pipes);
    // Whether a cancel was requested (ours or the external flag): the last run then ended early.
    bool cancelled() const;

signals:
    void update(double pg, QString status1, QString status2);

public slots:
    void cancel() { m_cancelRequested.store(true); }

private:
    enum class Wait { Ready, TimedOut, Cancelled, Failed };
    Wait waitFor(int fd, bool forWrite);

    am_device* m_device;
    QString m_targetIdentifier;
    QDir m_rootDir;
    QString m_status1;
    QString m_status2;
    double m_percentage = 0;
    std::atomic<bool> m_cancelRequested{false};
    bool m_eof = false; // the helper closed its end during the last read
};
