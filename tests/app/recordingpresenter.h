#pragma once

// Records every box Tips would show, answering Yes/OK, so tests read the exact texts.

#include "app/tips.h"

#include <QList>
#include <QPair>

class RecordingPresenter : public TipsPresenter {
public:
    QList<QPair<Kind, QString>> shown;
    bool show(Kind kind, const QString& text) override {
        shown.append({kind, text});
        return true;
    }
};
