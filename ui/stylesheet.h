#pragma once

#include <QString>

// The application style sheet, ":style.css" of the resource bundle, read once
// and cached. Empty when the resource cannot be read (then read again next time).
QString getStyleSheet();
