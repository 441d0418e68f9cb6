#include "app/updatecheck.h"

#include "app/errreport.h"
#include "app/weblinks.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <fcntl.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcUpdate, "vexlar.update")

namespace {
const QString kTimeFile = QStringLiteral("last-check-version-time");
const QString kAdvFile = QStringLiteral("last-adv");
const QString kAnchorStyle =
    QStringLiteral("<a style=\"color:%1;text-decoration:none;\"").arg(QLatin1String("#145577"));
} // namespace

bool g_writeFileAtomically(const QString& path, const QByteArray& data) {
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temp = target + ".tmp-" + QByteArray::number(::getpid());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n <= 0) {
            break;
        }
        done += n;
    }
    const bool written = done == data.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(temp.constData(), target.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

UpdateCheck::UpdateCheck(const QDir& dataDir, QObject* parent)
    : QObject(parent), m_dataDir(dataDir), m_manager(new QNetworkAccessManager(this)) {}

bool UpdateCheck::due(quint32 now) const {
    QFile file(m_dataDir.filePath(kTimeFile));
    if (!file.open(QIODevice::ReadOnly)) {
        return true;
    }
    bool ok = false;
    const quint32 last = file.read(32).trimmed().toUInt(&ok);
    return !ok || last == 0 || quint32(now - last) >= kInterval;
}

bool UpdateCheck::everChecked() const {
    return m_dataDir.exists(kTimeFile);
}

bool UpdateCheck::recordCheckTime() {
    const quint32 now = static_cast<quint32>(QDateTime::currentSecsSinceEpoch());
    return g_writeFileAtomically(m_dataDir.filePath(kTimeFile), QByteArray::number(now));
}

bool UpdateCheck::start() {
    if (!webServerConfigured()) {
        qCDebug(lcUpdate, "no product web server configured: no update check");
        return false;
    }
    if (!due(static_cast<quint32>(QDateTime::currentSecsSinceEpoch()))) {
        return false;
    }
    const QString pid = QLatin1String(kProductId);
    get(QStringLiteral("/sms_check_update.php?pid=%1&ver=%2&q=1").arg(pid).arg(kProductVersionNumber),
        &UpdateCheck::onUpdateAnswer);
    get(QStringLiteral("/adv.php?pid=%1").arg(pid), &UpdateCheck::onAnnouncementAnswer);
    return true;
}

void UpdateCheck::get(const QString& pathAndQuery, void (UpdateCheck::*handler)(int, const QByteArray&)) {
    QNetworkRequest request(webPageUrl(pathAndQuery));
    // A redirect is an answer other than 200, not an invitation to ask elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(30000);
    QNetworkReply* reply = m_manager->get(request);
    ++m_pending;
    connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > kMaxAnswer) {
            qCWarning(lcUpdate).noquote() << "answer too long, dropped:" << reply->url().path();
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, handler] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const bool whole = reply->error() == QNetworkReply::NoError && reply->bytesAvailable() <= kMaxAnswer;
        qCDebug(lcUpdate).noquote() << reply->url().path() << "answered" << status << reply->errorString();
        (this->*handler)(whole ? status : 0, whole ? reply->readAll() : QByteArray());
        if (--m_pending == 0) {
            emit finished();
        }
    });
}

QUrl UpdateCheck::updateAddress(const QByteArray& body) {
    const qsizetype nul = body.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? body : body.left(nul));
    if (!text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
        return {};
    }
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!isWebUrl(url)) {
        qCWarning(lcUpdate).noquote() << "update address refused:" << text.left(200);
        return {};
    }
    return url;
}

QString UpdateCheck::styledAnnouncement(const QByteArray& body) {
    // One anchor: an href with a web address, then text without markup.
    static const QRegularExpression anchor(
        QStringLiteral("^<a\\s+href\\s*=\\s*(?:\"([^\"<>]*)\"|'([^'<>]*)')\\s*>([^<>]*\\S[^<>]*)</a\\s*>$"),
        QRegularExpression::CaseInsensitiveOption);
    QString text = QString::fromUtf8(body).trimmed();
    if (text.startsWith(kAnchorStyle)) {
        text.replace(0, kAnchorStyle.size(), QStringLiteral("<a"));
    }
    const QRegularExpressionMatch m = anchor.match(text);
    if (!m.hasMatch()) {
        return {};
    }
    const QString href = m.captured(1).isEmpty() ? m.captured(2) : m.captured(1);
    if (!isWebUrl(QUrl(href, QUrl::StrictMode))) {
        return {};
    }
    return kAnchorStyle + text.mid(2);
}

void UpdateCheck::onUpdateAnswer(int status, const QByteArray& body) {
    if (status != 200) {
        return; // asked again at the next start
    }
    const QUrl address = updateAddress(body);
    if (address.isEmpty()) {
        recordCheckTime();
        return;
    }
    emit updateAvailable(address, !everChecked());
}

void UpdateCheck::onAnnouncementAnswer(int status, const QByteArray& body) {
    if (status != 200) {
        return;
    }
    const QString html = styledAnnouncement(body);
    if (html.isEmpty()) {
        qCDebug(lcUpdate, "announcement is not a single web link: ignored");
        return;
    }
    g_writeFileAtomically(m_dataDir.filePath(kAdvFile), html.toUtf8());
    emit announcement(html);
}
