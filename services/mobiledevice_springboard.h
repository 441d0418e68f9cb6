#pragma once

// SpringBoard services ("com.apple.springboardservices"): asked "getIconPNGData"
// with an app's "bundleId", the device answers { "pngData": <PNG bytes> } with
// the icon the home screen shows for that app. Requests go as binary property
// lists, as libimobiledevice's sbservices client sends them.

#include "device/mobiledevice_abi.h"

#include <QByteArray>
#include <QString>

// The app's home-screen icon; empty when the device gives none or what it gives
// is no PNG of at most maxBytes. Throws std::runtime_error when the service does
// not start or the exchange breaks off.
QByteArray mobiledevice_springboard_icon(am_device* device, const QString& bundleId, qint64 maxBytes);
