#include "services/mobiledevice_notification.h"

#include "device/cftype.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"

#include <QtDebug>
#include <poll.h>
#include <stdexcept>

namespace {

constexpr int kNotificationTimeout = 60000;

CFType command(const char* name, const QString& notification = QString()) {
    CFType message = CFType::createCFDictionary();
    message.put(QStringLiteral("Command"), CFType::createCFString(QString::fromLatin1(name)));
    if (!notification.isNull()) {
        message.put(QStringLiteral("Name"), CFType::createCFString(notification));
    }
    return message;
}

// True when something (data, end of stream or an error) is waiting on the socket.
bool readable(unsigned int socket, int timeout) {
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout);
    } while (r < 0 && errno == EINTR);
    return r != 0; // an error is reported by the receive that follows
}

} // namespace

void mobiledevice_notification_start(am_device* device, unsigned int& socket) {
    mobiledevice_startservice(device, "com.apple.mobile.notification_proxy", socket);
}

void mobiledevice_notification_post(unsigned int socket, QString const& name) {
    qDebug("mobiledevice_notification_post, notification:%s", qPrintable(name));
    mobiledevice_sendmsg(socket, command("PostNotification", name), false, kNotificationTimeout);
    const CFType shutdown = command("Shutdown");
    mobiledevice_sendmsg(socket, shutdown, false, kNotificationTimeout);
    const CFType answer = mobiledevice_recmsg(socket, shutdown, kNotificationTimeout);
    const QString text = answer.get(QStringLiteral("Command")).CFStringQString();
    if (text.compare(QLatin1String("ProxyDeath"), Qt::CaseInsensitive) != 0) {
        qDebug("mobiledevice_notification_post, unexpected answer: %s", qPrintable(text));
    }
}

void mobiledevice_notification_observe(unsigned int socket, QString name) {
    mobiledevice_sendmsg(socket, command("ObserveNotification", name), false, kNotificationTimeout);
}

QString mobiledevice_notification_get_throw(unsigned int socket) {
    // Only the wait for a message to begin is bounded by the poll; its length
    // and payload then get the usual bounds, so a message split across the end
    // of a poll is not torn apart.
    if (!readable(socket, kNotificationPollTimeout)) {
        return QString();
    }
    const CFType message = mobiledevice_recmsg(socket, CFType(), kNotificationTimeout);
    const QString text = message.get(QStringLiteral("Command")).CFStringQString();
    if (text.compare(QLatin1String("RelayNotification"), Qt::CaseInsensitive) == 0) {
        const QString name = message.get(QStringLiteral("Name")).CFStringQString();
        if (name.isEmpty()) {
            throw std::runtime_error("NotificationProxy relayed a notification without a name.");
        }
        qDebug("mobiledevice_notification_get_throw, got notification %s.", qPrintable(name));
        return name;
    }
    if (text.compare(QLatin1String("ProxyDeath"), Qt::CaseInsensitive) == 0) {
        throw std::runtime_error("ERROR: NotificationProxy died!");
    }
    throw std::runtime_error(
        QStringLiteral("unknown NotificationProxy command '%1' received!").arg(text).toStdString());
}

mobiledevice_notification_thread::mobiledevice_notification_thread(am_device* device, QObject* parent)
    : QThread(parent), device(device) {}

mobiledevice_notification_thread::~mobiledevice_notification_thread() {
    stop = true;
    requestInterruption(); // also when run() has not yet cleared the flag
    wait();
    if (socket != 0) {
        mobiledevice_closeservice(socket);
    }
}

void mobiledevice_notification_thread::startServiceThrow(QStringList const& names) {
    mobiledevice_notification_start(device, socket);
    for (const QString& name : names) {
        mobiledevice_notification_observe(socket, name);
    }
}

void mobiledevice_notification_thread::run() {
    if (socket == 0) {
        error = QStringLiteral("mobiledevice_notification_thread::run, start service first.");
        qDebug("%s", qPrintable(error));
        return;
    }
    stop = false;
    do {
        try {
            const QString name = mobiledevice_notification_get_throw(socket);
            if (!name.isEmpty()) {
                emit recNotification(name);
            }
        } catch (const std::exception& e) {
            qDebug("mobiledevice_notification_thread::run, %s", e.what());
        }
        QThread::sleep(1);
    } while (!stop && !isInterruptionRequested());
}
