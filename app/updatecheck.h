#pragma once

// The daily requests to the product web server: the version check and the
// status-bar announcement.
//
// At most once a day (86401 seconds after the last answered check, measured as
// an unsigned 32-bit difference) both GET requests go out together. Each
// answer is handled once, when it has fully arrived; only status 200 counts.
// The check time is written when an answer says there is no update, or when
// the window calls recordCheckTime() after "Download later".
//
// Whatever the server sends is treated as data: an update address is accepted
// only as an http(s) URL, and an announcement only as a single anchor element
// with a web address and plain text.

#include <QDir>
#include <QObject>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

class UpdateCheck : public QObject {
    Q_OBJECT
public:
    static constexpr quint32 kInterval = 86401;
    // Answers longer than this are dropped unread.
    static constexpr qint64 kMaxAnswer = 64 * 1024;

    explicit UpdateCheck(const QDir& dataDir, QObject* parent = nullptr);

    // True when no check was answered in the last day: the stored time is
    // missing, unreadable, zero, or at least kInterval seconds before now.
    bool due(quint32 now) const;
    // Sends both requests when due and a server is configured; false when nothing went out.
    bool start();
    // Writes the current time into "last-check-version-time".
    bool recordCheckTime();
    // Whether a check was ever answered on this computer.
    bool everChecked() const;
    bool busy() const { return m_pending > 0; }

    // The update answer's address: the text up to the first NUL byte when it
    // starts with "http://" (any case) and is a web URL; otherwise empty.
    static QUrl updateAddress(const QByteArray& body);
    // The announcement styled for the status bar, or empty when the text is
    // not one anchor with a web address and text. Also accepts a stored one.
    static QString styledAnnouncement(const QByteArray& body);

signals:
    // A newer version exists; obsolete when no check was ever answered before.
    void updateAvailable(const QUrl& address, bool obsolete);
    void announcement(const QString& html);
    // Both answers (or failures) have been handled.
    void finished();

private:
    void get(const QString& pathAndQuery, void (UpdateCheck::*handler)(int, const QByteArray&));
    void onUpdateAnswer(int status, const QByteArray& body);
    void onAnnouncementAnswer(int status, const QByteArray& body);

    QDir m_dataDir;
    QNetworkAccessManager* m_manager;
    int m_pending = 0;
};

// Replaces the file's content with data through a temporary beside it (fsync, rename).
bool g_writeFileAtomically(const QString& path, const QByteArray& data);
