#include "device/mobiledevice.h"

#include "device/mobiledevice_fn_p.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QSet>
#include <memory>
#include <plist/plist.h>
#include <stdexcept>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcDevice, "vexlar.device")

_mobiledevice_listen_ctx g_listen_ctx;

namespace {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// A string node for a framework argument; null for an empty text when allowed.
PlistPtr stringNode(const QString& text, bool emptyIsNull) {
    if (emptyIsNull && text.isEmpty()) {
        return PlistPtr();
    }
    return PlistPtr(plist_new_string(text.toUtf8().constData()));
}

// Adopts an owned framework result.
CFType adopt(void* node) {
    PlistPtr owner(node);
    return node ? CFType::fromPlistNode(node) : CFType();
}

QSet<QString>& presentDevices() {
    static QSet<QString> devices;
    return devices;
}

QString deviceIdentifier(am_device* device) {
    try {
        return adopt(mobiledevice_fn<AMDeviceCopyDeviceIdentifier_t>("AMDeviceCopyDeviceIdentifier")(device))
            .CFStringQString();
    } catch (const std::exception& e) {
        qCWarning(lcDevice, "%s", e.what());
        return QString();
    }
}

void notify(const _mobiledevice_listen_ctx* ctx, const char* method, am_device* device) {
    if (!ctx->receiver || !method || !*method) {
        return;
    }
    if (!QMetaObject::invokeMethod(ctx->receiver, method, Qt::AutoConnection, Q_ARG(void*, device))) {
        qCWarning(lcDevice, "Device notification: no method %s on the receiver", method);
    }
}

void listener(am_device_notification_callback_info* info, void* context) {
    if (!info || !context) {
        return;
    }
    const auto* ctx = static_cast<const _mobiledevice_listen_ctx*>(context);
    const QString udid = deviceIdentifier(info->dev);
    switch (info->msg) {
    case ADNCI_MSG_CONNECTED:
        if (!udid.isEmpty()) {
            if (presentDevices().contains(udid)) {
                return;
            }
            presentDevices().insert(udid);
        }
        notify(ctx, ctx->connected, info->dev);
        break;
    case ADNCI_MSG_DISCONNECTED:
        if (!udid.isEmpty()) {
            presentDevices().remove(udid);
        }
        notify(ctx, ctx->disconnected, info->dev);
        break;
    default:
        break;
    }
}

QString openErrorText(const char* step, int code) {
    return QStringLiteral("%1<br/><br/>Error code: %2")
        .arg(QCoreApplication::translate(
                 "mobiledevice", "Please launch iTunes first and then re-connect your iPhone. Once your iPhone is "
                                 "visible in iTunes, please restart Quorvindale software."),
             QStringLiteral("%1(%2)").arg(QLatin1String(step)).arg(code));
}

// Runs one operation inside its own session; the session is closed whatever happens.
template <typename Op>
auto withSession(am_device* device, Op op) {
    QString error;
    if (device_open(device, error) != 0) {
        throw std::runtime_error(error.toStdString());
    }
    struct Closer {
        am_device* device;
        ~Closer() {
            try {
                mobiledevice_fn<AMDeviceStopSession_t>("AMDeviceStopSession")(device);
                mobiledevice_fn<AMDeviceDisconnect_t>("AMDeviceDisconnect")(device);
            } catch (const std::exception& e) {
                qCWarning(lcDevice, "%s", e.what());
            }
        }
    } closer{device};
    return op();
}

} // namespace

bool mobiledevice_listen(_mobiledevice_listen_ctx* ctx) {
    void* subscription = nullptr;
    const auto subscribe = mobiledevice_fn<AMDeviceNotificationSubscribe_t>("AMDeviceNotificationSubscribe");
    return subscribe(&listener, 0, 0, ctx, &subscription) == 0;
}

int device_open(am_device* device, QString& error) {
    bool connected = false;
    // Every failure after the connect gives it back: a retry must not leak one connection each time.
    const auto fail = [&](const QString& text, int r) {
        if (connected) {
            try {
                mobiledevice_fn<AMDeviceDisconnect_t>("AMDeviceDisconnect")(device);
            } catch (const std::exception& e) {
                qCWarning(lcDevice, "%s", e.what());
            }
        }
        error = text;
        return r;
    };
    try {
        int r = mobiledevice_fn<AMDeviceConnect_t>("AMDeviceConnect")(device);
        if (r != 0) {
            return fail(openErrorText("AMDeviceConnect", r), r);
        }
        connected = true;
        if (!mobiledevice_fn<AMDeviceIsPaired_t>("AMDeviceIsPaired")(device)) {
            r = mobiledevice_fn<AMDevicePair_t>("AMDevicePair")(device);
            if (r != 0) {
                return fail(openErrorText("AMDevicePair", r), r);
            }
        }
        r = mobiledevice_fn<AMDeviceValidatePairing_t>("AMDeviceValidatePairing")(device);
        if (r != 0) {
            return fail(openErrorText("AMDeviceValidatePairing", r), r);
        }
        r = mobiledevice_fn<AMDeviceStartSession_t>("AMDeviceStartSession")(device);
        if (r != 0) {
            return fail(openErrorText("AMDeviceStartSession", r), r);
        }
        return 0;
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()), -1);
    }
}

QList<CFType> mobiledevice_info(am_device* device, QStringList keys, QString domain) {
    return withSession(device, [&] {
        const auto copyValue = mobiledevice_fn<AMDeviceCopyValue_t>("AMDeviceCopyValue");
        const PlistPtr domainNode = stringNode(domain, true);
        QList<CFType> values;
        values.reserve(keys.size());
        for (const QString& key : keys) {
            const PlistPtr keyNode = stringNode(key, true);
            values.append(adopt(copyValue(device, domainNode.get(), keyNode.get())));
        }
        return values;
    });
}

int mobiledevice_set(am_device* device, QString domain, QString key, CFType value) {
    return withSession(device, [&] {
        const PlistPtr domainNode = stringNode(domain, false);
        const PlistPtr keyNode = stringNode(key, false);
        const PlistPtr valueNode(value.toPlistNode());
        return mobiledevice_fn<AMDeviceSetValue_t>("AMDeviceSetValue")(device, domainNode.get(), keyNode.get(),
                                                                       valueNode.get());
    });
}

QString mobiledevice_device_uid(am_device* device) {
    // Known from the attach itself: no session, so no trust dialog on a phone nobody chose.
    return adopt(mobiledevice_fn<AMDeviceCopyDeviceIdentifier_t>("AMDeviceCopyDeviceIdentifier")(device))
        .CFStringQString();
}

void mobiledevice_startservice(am_device* device, char const* service, unsigned int& socket) {
    const int r = withSession(device, [&] {
        const PlistPtr serviceNode = stringNode(QString::fromUtf8(service), false);
        return mobiledevice_fn<AMDeviceStartService_t>("AMDeviceStartService")(device, serviceNode.get(), &socket,
                                                                               nullptr);
    });
    if (r == 0) {
        return;
    }
    // Whatever the framework left there is not ours to close.
    socket = 0;
    QString description = QStringLiteral("Unknown");
    try {
        const QList<CFType> values = mobiledevice_info(
            device, {QStringLiteral("DeviceName"), QStringLiteral("ProductType"), QStringLiteral("ProductVersion")},
            QString());
        if (values.size() == 3 && values[0].isCFString()) {
            description =
                QStringLiteral("%1, %2, iOS %3")
                    .arg(values[0].CFStringQString(), values[1].CFStringQString(), values[2].CFStringQString());
        }
    } catch (const std::exception& e) {
        qCDebug(lcDevice, "device description: %s", e.what());
    }
    // What the user can do about it: unlock the phone, pair it again, or the general advice.
    const char* advice = "Please turn off Wifi Sync on iTunes or disconnect computer internet connections to try "
                         "again.<br/>";
    if (r == kAMDPasswordProtectedError) {
        advice = "Your iPhone is locked. Please unlock it with its passcode, keep it unlocked and try again.<br/>";
    } else if (r == kAMDMissingEscrowBagError) {
        advice = "This computer's pairing with your iPhone was incomplete and is made again. Please unlock your "
                 "iPhone, tap \"Trust\" on it if it asks, and try again.<br/>";
    }
    const QString text =
        QStringLiteral("<br/><br/>device:%1 <br/><br/>").arg(description) +
        QCoreApplication::translate("mobiledevice", advice) +
        QStringLiteral("Error code: AMDeviceStartService(%1)=%2").arg(QString::fromUtf8(service)).arg(r);
    throw std::runtime_error(text.toStdString());
}

int mobiledevice_closeservice(unsigned int socket) {
    return ::close(static_cast<int>(socket));
}
