#include "backup/keybag.h"

#include "backup/backupcrypto.h"
#include "backup/byteorder.h"

#include <QLoggingCategory>
#include <stdexcept>

Q_LOGGING_CATEGORY(lcKeybag, "vexlar.backup.keybag")

namespace {

constexpr qsizetype kTagSize = 4;
constexpr qsizetype kItemHeaderSize = 8;
// A hostile keybag must not stall the password worker for hours.
constexpr quint32 kMaxIterations = 100'000'000;

} // namespace

quint32 _KeybagPros::getInt32(const QString& tag) const {
    return byteorder::readBigEndian<quint32>(values.value(tag), 0).value_or(0);
}

quint32 _KeybagInfo::attributeInt32(const QString& tag) const {
    return byteorder::readBigEndian<quint32>(attributes.value(tag), 0).value_or(0);
}

_KeybagInfo parseKeybag(const QByteArray& blob) {
    if (blob.size() > kMaxKeybagSize) {
        throw std::runtime_error(
            QStringLiteral("Keybag too large (%1 bytes).").arg(blob.size()).toUtf8().toStdString());
    }
    _KeybagInfo info;
    _KeybagPros current;
    qsizetype pos = 0;
    while (pos < blob.size()) {
        if (blob.size() - pos < kItemHeaderSize) {
            throw std::runtime_error(
                QStringLiteral("Keybag item at offset %1 is truncated.").arg(pos).toUtf8().toStdString());
        }
        const QString tag = QString::fromLatin1(blob.constData() + pos, kTagSize);
        const quint32 length = byteorder::readBigEndian<quint32>(blob, pos + kTagSize).value_or(0);
        pos += kItemHeaderSize;
        if (static_cast<quint64>(length) > static_cast<quint64>(blob.size() - pos)) {
            throw std::runtime_error(QStringLiteral("Keybag item \"%1\" at offset %2 runs past the end (%3 bytes).")
                                         .arg(tag)
                                         .arg(pos - kItemHeaderSize)
                                         .arg(length)
                                         .toUtf8()
                                         .toStdString());
        }
        const QByteArray value = blob.mid(pos, length);
        pos += length;

        if (tag == QLatin1String("UUID") && !info.attributes.contains(tag)) {
            info.attributes[tag] = value;
        } else if (tag == QLatin1String("WRAP") && !info.attributes.contains(tag)) {
            info.attributes[tag] = value;
        } else if (tag == QLatin1String("UUID")) {
            if (current.contains(QStringLiteral("CLAS"))) {
                info.classKeys[static_cast<int>(current.getInt32(QStringLiteral("CLAS")))] = current;
            }
            current = _KeybagPros();
            current[tag] = value;
        } else if (QStringLiteral("CLAS WRAP WPKY KTYP PBKY").contains(tag) && !tag.contains(QLatin1Char(' '))) {
            current[tag] = value;
        } else {
            info.attributes[tag] = value;
        }
        if (current.contains(QStringLiteral("CLAS"))) {
            info.classKeys[static_cast<int>(current.getInt32(QStringLiteral("CLAS")))] = current;
        }
    }
    return info;
}

QByteArray derivePasscodeKey(const QByteArray& passcode, const _KeybagInfo& keybag) {
    const QString salt = QStringLiteral("SALT");
    const QString iter = QStringLiteral("ITER");
    if (!keybag.attributes.contains(salt) || !keybag.attributes.contains(iter)) {
        return {};
    }
    const quint32 iterations = keybag.attributeInt32(iter);
    if (iterations < 1 || iterations > kMaxIterations) {
        qCWarning(lcKeybag) << "keybag ITER out of range:" << iterations;
        return {};
    }
    const QString dpic = QStringLiteral("DPIC");
    const QString dpsl = QStringLiteral("DPSL");
    if (keybag.attributes.contains(dpic) && keybag.attributes.contains(dpsl)) {
        const quint32 dpIterations = keybag.attributeInt32(dpic);
        if (dpIterations < 1 || dpIterations > kMaxIterations) {
            qCWarning(lcKeybag) << "keybag DPIC out of range:" << dpIterations;
            return {};
        }
        QByteArray t =
            pbkdf2HmacSha256(passcode, keybag.attributes.value(dpsl), static_cast<int>(dpIterations), kBackupKeySize);
        QByteArray key = pbkdf2HmacSha1(t, keybag.attributes.value(salt), static_cast<int>(iterations), kBackupKeySize);
        secureWipe(t);
        return key;
    }
    return pbkdf2HmacSha1(passcode, keybag.attributes.value(salt), static_cast<int>(iterations), kBackupKeySize);
}

bool unlockWithPasscode(const QByteArray& passcode, _KeybagInfo& keybag) {
    QByteArray passcodeKey = derivePasscodeKey(passcode, keybag);
    if (passcodeKey.isEmpty()) {
        return false;
    }
    bool ok = true;
    for (auto it = keybag.classKeys.begin(); it != keybag.classKeys.end(); ++it) {
        _KeybagPros& record = it.value();
        if (!record.contains(QStringLiteral("WPKY"))) {
            continue;
        }
        if ((record.getInt32(QStringLiteral("WRAP")) & kKeybagWrapPasscode) == 0) {
            continue;
        }
        const QByteArray key = aes_key_unwrap(passcodeKey, record.value(QStringLiteral("WPKY")));
        if (key.isEmpty()) {
            ok = false;
            break;
        }
        record[QStringLiteral("KEY")] = key;
    }
    secureWipe(passcodeKey);
    return ok;
}

QByteArray unwrapKeyForClass(const _KeybagInfo& keybag, int classNumber, const QByteArray& wrapped) {
    const auto it = keybag.classKeys.constFind(classNumber);
    if (it == keybag.classKeys.constEnd() || wrapped.size() != kWrappedKeySize ||
        !it->contains(QStringLiteral("KEY"))) {
        return {};
    }
    return aes_key_unwrap(it->value(QStringLiteral("KEY")), wrapped);
}
