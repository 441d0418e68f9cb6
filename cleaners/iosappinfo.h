#pragma once

#include <QList>
#include <QString>

// One app of the device, or one cleaning function of the main window.
struct _IOSAppInfo {
    _IOSAppInfo() = default;
    _IOSAppInfo(QString appId, QString appName) : appId(std::move(appId)), appName(std::move(appName)) {}

    QString appId;   // bundle identifier, or a function identifier
    QString appName; // display name
};
