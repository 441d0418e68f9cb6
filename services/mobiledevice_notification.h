#pragma once

// Notification proxy ("com.apple.mobile.notification_proxy"): post a named
// notification to the device, observe named notifications from it. Messages
// are XML dictionaries with a "Command". Functions throw std::runtime_error.

#include "device/mobiledevice_abi.h"

#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>

// How long one poll for a relayed notification waits.
inline constexpr int kNotificationPollTimeout = 500;

void mobiledevice_notification_start(am_device* device, unsigned int& socket);

// Posts one notification, then shuts the proxy connection down.
void mobiledevice_notification_post(unsigned int socket, QString const& name);

// Asks to be told of a notification; nothing is awaited.
void mobiledevice_notification_observe(unsigned int socket, QString name);

// The name of the next relayed notification, or an empty text when nothing
// arrived within one poll. A message that has begun is read to its end.
// Throws when the proxy died or sent something else.
QString mobiledevice_notification_get_throw(unsigned int socket);

// Observes a list of notifications on its own thread and reports each one.
class mobiledevice_notification_thread : public QThread {
    Q_OBJECT
public:
    mobiledevice_notification_thread(am_device* device, QObject* parent = nullptr);
    // Asks the loop to end, waits for it and closes the service.
    ~mobiledevice_notification_thread() override;

    // Starts the service and observes each name in order. Throws.
    void startServiceThrow(QStringList const& names);

    // Set by the owner; the loop ends after its current poll and pause.
    std::atomic<bool> stop{false};
    am_device* device;
    unsigned int socket = 0;
    // Why run() ended at once (no service started), empty otherwise.
    QString error;

signals:
    void recNotification(QString name);

protected:
    void run() override;
};
