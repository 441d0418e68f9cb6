#include "services/mobiledevice_link.h"

#include "device/mobiledevice_msg.h"

#include <QtDebug>
#include <stdexcept>

namespace {

// Logged and shown: secrets blanked.
QString xmlOf(const CFType& value) {
    return QString::fromUtf8(CFType::withSecretsBlanked(value).CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0));
}

QString kindOf(const CFType& message) {
    return message.isCFArray() ? message.at(0).CFStringQString() : QString();
}

[[noreturn]] void fail(const QString& text) {
    throw std::runtime_error(text.toStdString());
}

} // namespace

CFType mobiledevice_link_text(const QString& text) {
    return CFType::createCFString(text.isEmpty() ? QString::fromLatin1(kDeviceLinkEmptyParameter) : text);
}

void mobiledevice_link_sc_version_exchange(unsigned int socket) {
    const CFType offer = mobiledevice_recmsg(socket, CFType(), kDeviceLinkTimeout);
    if (kindOf(offer) == QLatin1String("DLMessageDeviceReady")) {
        return;
    }
    // The device checks that we accept its major version; echo it back. An
    // offer without a usable number gets the version current devices expect.
    const CFType offered = offer.isCFArray() ? offer.at(1) : CFType();
    const long long major =
        offered.isCFNumber() && offered.CFNumberInt64(-1) > 0 ? offered.CFNumberInt64() : kDeviceLinkMajorVersion;
    const CFType reply = CFType::createCFArray({CFType::createCFString(QStringLiteral("DLMessageVersionExchange")),
                                                CFType::createCFString(QStringLiteral("DLVersionsOk")),
                                                CFType::createCFNumberInt64(major)});
    mobiledevice_sendmsg(socket, reply, false, kDeviceLinkTimeout);
    const CFType ready = mobiledevice_recmsg(socket, reply, kDeviceLinkTimeout);
    if (kindOf(ready) != QLatin1String("DLMessageDeviceReady")) {
        fail(QStringLiteral("invalid feedback after send DLMessageVersionExchange.\n%1").arg(xmlOf(ready)));
    }
}

CFType mobiledevice_link_sc_send_process_message(unsigned int socket, CFType dict) {
    const CFType message =
        CFType::createCFArray({CFType::createCFString(QStringLiteral("DLMessageProcessMessage")), dict});
    mobiledevice_sendmsg(socket, message, true, kDeviceLinkTimeout);
    return CFType::clone(message);
}

void mobiledevice_link_sc_recv_dlmsg(unsigned int socket, CFType& message, QString& kind, CFType lastSent) {
    message = mobiledevice_recmsg(socket, lastSent, kDeviceLinkTimeout);
    kind = kindOf(message);
    if (!kind.startsWith(QLatin1String("DL"), Qt::CaseInsensitive)) {
        qDebug("mobiledevice_link_sc_recv_dlmessaeg recv invalid msg:\n%s", qPrintable(xmlOf(message)));
        fail(QStringLiteral("Did not receive a DL* message as expected."));
    }
}

CFType mobiledevice_link_sc_recv_dlprocessmsg_inner(unsigned int socket, CFType lastSent, CFType* whole) {
    CFType message;
    QString kind;
    mobiledevice_link_sc_recv_dlmsg(socket, message, kind, lastSent);
    if (kind != QLatin1String("DLMessageProcessMessage")) {
        qDebug("mobiledevice_link_sc_recv_process_message recv invalid msg:\n%s", qPrintable(xmlOf(message)));
        fail(QStringLiteral("Did not receive DLMessageProcessMessage as expected."));
    }
    if (whole) {
        *whole = CFType::clone(message);
    }
    return CFType::clone(message.at(1));
}

void mobiledevice_link_sc_disconnect(unsigned int socket, QString reason) {
    const CFType message = CFType::createCFArray(
        {CFType::createCFString(QStringLiteral("DLMessageDisconnect")), mobiledevice_link_text(reason)});
    mobiledevice_sendmsg(socket, message, true, kDeviceLinkTimeout);
}
