#include "services/mobiledevice_backup2.h"

#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"
#include "services/mobiledevice_link.h"

#include <QtDebug>
#include <limits>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString& text) {
    throw std::runtime_error(text.toStdString());
}

// An error code from the device: a number that does not fit an int, or is
// not whole, must not read as success.
int errorCodeOf(const CFType& value) {
    if (value.isNull()) {
        return 0;
    }
    constexpr long long kUnfit = std::numeric_limits<long long>::min();
    const long long code = value.isCFNumber() ? value.CFNumberInt64(kUnfit) : kUnfit;
    if (code == kUnfit || code < std::numeric_limits<int>::min() || code > std::numeric_limits<int>::max()) {
        return -1;
    }
    return static_cast<int>(code);
}

} // namespace

void mobiledevice_backup2_start(am_device* device, unsigned int& socket) {
    mobiledevice_startservice(device, "com.apple.mobilebackup2", socket);
    mobiledevice_link_sc_version_exchange(socket);
}

CFType mobiledevice_backup2_send_msg(unsigned int socket, QString name, CFType dict) {
    CFType message =
        dict.isCFDictionary() ? CFType::createCFDictionaryCreateMutableCopy(dict) : CFType::createCFDictionary();
    message.put(QStringLiteral("MessageName"), CFType::createCFString(name));
    return mobiledevice_link_sc_send_process_message(socket, message);
}

void mobiledevice_backup2_recv_msg(unsigned int socket, CFType& message, QString& kind) {
    mobiledevice_link_sc_recv_dlmsg(socket, message, kind, CFType());
}

CFType mobiledevice_backup2_recv_dlmessage_response(unsigned int socket, int& errorCode, CFType lastSent,
                                                    CFType* whole) {
    CFType array;
    const CFType dict = mobiledevice_link_sc_recv_dlprocessmsg_inner(socket, lastSent, &array);
    if (dict.get(QStringLiteral("MessageName")).CFStringQString() != QLatin1String("Response")) {
        fail(QStringLiteral("Did not receive a message(\"Message Name\" is \"Response\").\n%1")
                 .arg(QString::fromUtf8(array.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0))));
    }
    errorCode = errorCodeOf(dict.get(QStringLiteral("ErrorCode")));
    if (whole) {
        *whole = array;
    }
    return dict;
}

double mobiledevice_backup2_version_exchange(unsigned int socket, double* versions, char count) {
    CFType list = CFType::createCFArray();
    for (int i = 0; versions && i < count; ++i) {
        list.append(CFType::createCFNumberDouble(versions[i]));
    }
    CFType hello = CFType::createCFDictionary();
    hello.put(QStringLiteral("SupportedProtocolVersions"), list);
    const CFType sent = mobiledevice_backup2_send_msg(socket, QStringLiteral("Hello"), hello);
    int errorCode = 0;
    const CFType response = mobiledevice_backup2_recv_dlmessage_response(socket, errorCode, sent);
    if (errorCode == 1) {
        fail(QStringLiteral("mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION"));
    }
    if (errorCode != 0) {
        fail(QStringLiteral("mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_REPLY_NOT_OK"));
    }
    return response.get(QStringLiteral("ProtocolVersion")).CFNumberDouble(0);
}

CFType mobiledevice_backup2_send_request(unsigned int socket, QString request, QString target, QString source,
                                         CFType options) {
    CFType dict = CFType::createCFDictionary();
    dict.put(QStringLiteral("TargetIdentifier"), CFType::createCFString(target));
    if (!source.isEmpty()) {
        dict.put(QStringLiteral("SourceIdentifier"), CFType::createCFString(source));
    }
    if (!options.isNull()) {
        dict.put(QStringLiteral("Options"), options);
        // The device reads these two from the top level of their requests.
        const QString topLevel = request == QLatin1String("Unback")              ? QStringLiteral("Password")
                                 : request == QLatin1String("EnableCloudBackup") ? QStringLiteral("CloudBackupState")
                                                                                 : QString();
        const CFType value = topLevel.isEmpty() ? CFType() : options.get(topLevel);
        if (!value.isNull()) {
            dict.put(topLevel, value);
        }
    }
    return mobiledevice_backup2_send_msg(socket, request, dict);
}

CFType mobiledevice_backup2_send_status_response(unsigned int socket, int code, QString text, CFType value) {
    const CFType message = CFType::createCFArray({CFType::createCFString(QStringLiteral("DLMessageStatusResponse")),
                                                  CFType::createCFNumberInt32(code), mobiledevice_link_text(text),
                                                  value.isNull() ? mobiledevice_link_text(QString()) : value});
    mobiledevice_sendmsg(socket, message, true, kDeviceLinkTimeout);
    return CFType::clone(message);
}

void mobiledevice_backup2_set_enable_icloud(unsigned int socket, QString udid, bool enable) {
    qDebug("Set EnableCloudBackup: %d", enable ? 1 : 0);
    CFType options = CFType::createCFDictionary();
    options.put(QStringLiteral("CloudBackupState"), CFType::createCFBoolean(enable));
    const CFType sent =
        mobiledevice_backup2_send_request(socket, QStringLiteral("EnableCloudBackup"), udid, udid, options);
    int errorCode = 0;
    mobiledevice_backup2_recv_dlmessage_response(socket, errorCode, sent);
    if (errorCode != 0) {
        fail(QStringLiteral("Set EnableCloudBackup error code: %1").arg(errorCode));
    }
}

void mobiledevice_backup2_change_password(unsigned int socket, QString udid, QString oldPassword, QString newPassword) {
    // Beside MessageName, as the phone reads them; the passwords themselves are never logged.
    CFType dict = CFType::createCFDictionary();
    dict.put(QStringLiteral("TargetIdentifier"), CFType::createCFString(udid));
    if (!oldPassword.isEmpty()) {
        dict.put(QStringLiteral("OldPassword"), CFType::createCFString(oldPassword));
    }
    if (!newPassword.isEmpty()) {
        dict.put(QStringLiteral("NewPassword"), CFType::createCFString(newPassword));
    }
    qDebug("ChangePassword: old %s, new %s", oldPassword.isEmpty() ? "no" : "yes",
           newPassword.isEmpty() ? "no" : "yes");
    const CFType sent = mobiledevice_backup2_send_msg(socket, QStringLiteral("ChangePassword"), dict);
    int errorCode = 0;
    const CFType response = mobiledevice_backup2_recv_dlmessage_response(socket, errorCode, sent);
    if (errorCode != 0) {
        const QString description = response.get(QStringLiteral("ErrorDescription")).CFStringQString();
        fail(QStringLiteral("The phone refused to change its backup password (%1%2).")
                 .arg(errorCode)
                 .arg(description.isEmpty() ? QString() : QStringLiteral(": ") + description));
    }
}

void mobiledevice_backup2_request_backup(unsigned int socket, QString udid, bool fullBackup) {
    qDebug("Requesting backup from device, %s", fullBackup ? "Full backup mode" : "Incremental backup mode");
    CFType options;
    if (fullBackup) {
        options = CFType::createCFDictionary();
        options.put(QStringLiteral("ForceFullBackup"), CFType::createCFBoolean(true));
    }
    mobiledevice_backup2_send_request(socket, QStringLiteral("Backup"), udid, udid, options);
}
