#pragma once

// The backup keybag ("BackupKeyBag" of "Manifest.plist").
//
// A flat TLV sequence: 4 ASCII tag bytes, a 4-byte big-endian length, the
// value. The first "UUID" and "WRAP" describe the keybag itself; every later
// "UUID" starts one class key record ("CLAS", "WRAP", "WPKY", "KTYP", "PBKY").

#include <QByteArray>
#include <QMap>
#include <QString>

struct _KeybagPros {
    QMap<QString, QByteArray> values;

    bool contains(const QString& tag) const { return values.contains(tag); }
    QByteArray value(const QString& tag) const { return values.value(tag); }
    QByteArray& operator[](const QString& tag) { return values[tag]; }
    // First 4 bytes of the tag's value, big-endian; 0 when absent or shorter.
    quint32 getInt32(const QString& tag) const;
};

struct _KeybagInfo {
    QMap<QString, QByteArray> attributes;
    QMap<int, _KeybagPros> classKeys;

    quint32 attributeInt32(const QString& tag) const;
};

// Bit of a class key's "WRAP" value: wrapped with the passcode key.
inline constexpr quint32 kKeybagWrapPasscode = 2;
// A keybag larger than this is refused before parsing.
inline constexpr int kMaxKeybagSize = 1 << 20;

// Throws std::runtime_error when an item runs past the end of the blob.
_KeybagInfo parseKeybag(const QByteArray& blob);

// Derives the passcode key and unwraps every passcode-wrapped class key into
// its "KEY". False on a wrong password or a keybag without "SALT"/"ITER".
bool unlockWithPasscode(const QByteArray& passcode, _KeybagInfo& keybag);

// The passcode key as unlockWithPasscode derives it (empty when the keybag lacks "SALT"/"ITER").
QByteArray derivePasscodeKey(const QByteArray& passcode, const _KeybagInfo& keybag);

// Key wrapped with the class key of classNumber; wrapped must be exactly 40
// bytes (the 4-byte prefix already removed). Empty when it cannot be unwrapped.
QByteArray unwrapKeyForClass(const _KeybagInfo& keybag, int classNumber, const QByteArray& wrapped);
