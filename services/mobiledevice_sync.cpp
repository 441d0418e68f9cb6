#include "services/mobiledevice_sync.h"

#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"
#include "services/mobiledevice_link.h"

#include <stdexcept>

namespace {

constexpr int kMaxSyncBatches = 100000;

CFType text(const QString& value) {
    return CFType::createCFString(value);
}

CFType message(std::initializer_list<CFType> items) {
    return CFType::createCFArray(QList<CFType>(items));
}

// Sends an XML message and receives the next one.
CFType exchange(unsigned int socket, const CFType& sent, int timeout = kDeviceLinkTimeout) {
    mobiledevice_sendmsg(socket, sent, false, kDeviceLinkTimeout);
    return mobiledevice_recmsg(socket, sent, timeout);
}

QString kindOf(const CFType& received) {
    return received.isCFArray() ? received.at(0).CFStringQString() : QString();
}

[[noreturn]] void invalidFeedback(const char* after, const CFType& received) {
    throw std::runtime_error(
        QStringLiteral("invalid feedback after send %1.\n%2")
            .arg(QLatin1String(after), QString::fromUtf8(received.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0)))
            .toStdString());
}

} // namespace

void mobiledevice_sync_start(am_device* device, _mobiledevice_sync_ctx const& ctx, unsigned int& socket, bool ping) {
    mobiledevice_startservice(device, "com.apple.mobilesync", socket);
    mobiledevice_link_sc_version_exchange(socket);
    const CFType open = message({text(QStringLiteral("SDMessageSyncDataClassWithDevice")), text(ctx.dataClass),
                                 text(ctx.deviceAnchor), text(ctx.computerAnchor), CFType::createCFNumberInt32(106)});
    const CFType answer = exchange(socket, open);
    if (kindOf(answer) != QLatin1String("SDMessageSyncDataClassWithComputer")) {
        invalidFeedback("SDMessageSyncDataClassWithDevice", answer);
    }
    if (ping) {
        mobiledevice_sendmsg(socket,
                             message({text(QStringLiteral("DLMessagePing")),
                                      text(QStringLiteral("Preparing to get changes for device"))}),
                             false, kDeviceLinkTimeout);
    }
}

QList<CFType> mobiledevice_sync_records(unsigned int socket, _mobiledevice_sync_ctx const& ctx) {
    const CFType getAll = message({text(QStringLiteral("SDMessageGetAllRecordsFromDevice")), text(ctx.dataClass)});
    const CFType acknowledge =
        message({text(QStringLiteral("SDMessageAcknowledgeChangesFromDevice")), text(ctx.dataClass)});
    QList<CFType> records;
    int batches = 0;
    for (CFType answer = exchange(socket, getAll);; answer = exchange(socket, acknowledge)) {
        const QString kind = kindOf(answer);
        if (kind == QLatin1String("SDMessageDeviceReadyToReceiveChanges")) {
            return records;
        }
        if (kind != QLatin1String("SDMessageProcessChanges")) {
            invalidFeedback("SDMessageGetAllRecordsFromDevice", answer);
        }
        if (answer.at(2).isCFDictionary()) {
            records.append(CFType::clone(answer.at(2)));
        }
        // A device that never says it is ready must not keep us acknowledging forever.
        if (++batches > kMaxSyncBatches) {
            throw std::runtime_error("mobilesync: the device sent too many record batches.");
        }
    }
}

CFType mobiledevice_sync_send(unsigned int socket, CFType records, _mobiledevice_sync_ctx const& ctx, CFType actions) {
    // A missing element would shift the ones after it: send empty ones instead.
    const CFType changes =
        message({text(QStringLiteral("SDMessageProcessChanges")), text(ctx.dataClass),
                 records.isNull() ? CFType::createCFDictionary() : records, CFType::createCFBoolean(false),
                 actions.isNull() ? mobiledevice_link_text(QString()) : actions});
    const CFType answer = exchange(socket, changes);
    if (kindOf(answer) != QLatin1String("SDMessageRemapRecordIdentifiers")) {
        invalidFeedback("SDMessageProcessChanges", answer);
    }
    return CFType::clone(answer.at(2));
}

void mobiledevice_sync_send_finish(unsigned int socket, _mobiledevice_sync_ctx const& ctx) {
    exchange(socket, message({text(QStringLiteral("SDMessageFinishSessionOnDevice")), text(ctx.dataClass)}),
             kSyncFinishTimeout);
}

void mobiledevice_sync_clear(unsigned int socket, _mobiledevice_sync_ctx const& ctx) {
    const CFType answer =
        exchange(socket, message({text(QStringLiteral("SDMessageClearAllRecordsOnDevice")), text(ctx.dataClass),
                                  text(QString::fromLatin1(kDeviceLinkEmptyParameter))}));
    if (kindOf(answer) != QLatin1String("SDMessageDeviceWillClearAllRecords")) {
        invalidFeedback("SDMessageClearAllRecordsOnDevice", answer);
    }
}

int mobiledevice_sync_set_tethered(am_device* device, QString dataClass, bool disable) {
    CFType value = CFType::createCFDictionary();
    value.put(QStringLiteral("DisableTethered"), CFType::createCFBoolean(disable));
    return mobiledevice_set(device, QStringLiteral("com.apple.mobile.tethered_sync"), dataClass, value);
}
