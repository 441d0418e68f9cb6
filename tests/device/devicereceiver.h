#pragma once

// A receiver for device notifications. A suite that uses it ends with
// #include "tests/device/moc_devicereceiver.cpp": its meta-object is then compiled
// with the suite instead of in a translation unit of its own.

#include "device/mobiledevice.h"
#include "device/mobiledevice_loader.h"

#include <QList>
#include <QObject>
#include <QtTest>
#include <algorithm>
#include <plist/plist.h>

// Records device notifications; the slot names are the ones the listener is given.
class DeviceReceiver : public QObject {
    Q_OBJECT
public:
    struct Event {
        bool connected;
        am_device* device;
    };
    QList<Event> events;

    int count(bool connected, am_device* device = nullptr) const {
        return int(std::count_if(events.cbegin(), events.cend(), [&](const Event& e) {
            return e.connected == connected && (!device || e.device == device);
        }));
    }
    // The latest arrival of `udid`, waited for up to `ms`; null when none came.
    am_device* waitFor(const QString& udid, int ms = 5000) const {
        (void)QTest::qWaitFor([&] { return deviceFor(udid) != nullptr; }, ms);
        return deviceFor(udid);
    }
    // The handle of the latest arrival whose identifier is `udid`.
    am_device* deviceFor(const QString& udid) const {
        for (auto it = events.crbegin(); it != events.crend(); ++it) {
            if (it->connected && udidOf(it->device) == udid) {
                return it->device;
            }
        }
        return nullptr;
    }
    // Read without a session, so it works on devices that refuse one.
    static QString udidOf(am_device* device) {
        const auto copy =
            reinterpret_cast<AMDeviceCopyDeviceIdentifier_t>(mobiledevice_loader_mf("AMDeviceCopyDeviceIdentifier"));
        void* node = copy ? copy(device) : nullptr;
        if (!node) {
            return QString();
        }
        const QString udid = CFType::fromPlistNode(node).CFStringQString();
        plist_free(static_cast<plist_t>(node));
        return udid;
    }

public slots:
    void iosDeviceConnected(void* device) { events.append({true, static_cast<am_device*>(device)}); }
    void iosDeviceDisconnected(void* device) { events.append({false, static_cast<am_device*>(device)}); }
};
