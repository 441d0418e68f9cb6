#pragma once

// Notifications posted from outside the program (`simdevice notify`) wait in
// <device>/notify.spool, one "<milliseconds since 1970> <name>" line each,
// until a notification proxy of that device in a running program takes them.

#include "sim/framework/simstore.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>

namespace sim {

// A post older than this found nobody observing when it was made.
constexpr qint64 kNotifySpoolMaxAgeMs = 5000;

inline bool notifySpoolNameOk(const QString& name) {
    if (name.isEmpty() || name.size() > 1024) {
        return false;
    }
    for (QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return false;
        }
    }
    return true;
}

inline bool notifySpoolAppend(const QString& deviceDir, const QString& name) {
    DeviceLock lock(deviceDir);
    QFile f(deviceDir + QStringLiteral("/notify.spool"));
    const QByteArray line = QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + ' ' + name.toUtf8() + '\n';
    return f.open(QIODevice::Append) && f.write(line) == line.size() && f.flush();
}

// Takes the spooled names that are still fresh and empties the spool.
inline QStringList notifySpoolTake(const QString& deviceDir) {
    const QString path = deviceDir + QStringLiteral("/notify.spool");
    if (!QFile::exists(path)) {
        return {};
    }
    DeviceLock lock(deviceDir);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray all = f.read(1 << 20);
    f.close();
    QFile::remove(path);
    QStringList names;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const QByteArray& line : all.split('\n')) {
        const qsizetype space = line.indexOf(' ');
        bool ok = false;
        const qint64 when = line.left(space).toLongLong(&ok);
        const QString name = QString::fromUtf8(line.mid(space + 1));
        if (space > 0 && ok && now - when <= kNotifySpoolMaxAgeMs && notifySpoolNameOk(name)) {
            names.append(name);
        }
    }
    return names;
}

} // namespace sim
