#include "ui/functionlistfit.h"

#include "app/paths.h"
#include "ui/itemmodel.h"

#include <QListView>
#include <algorithm>

void fitFunctionListHeight(QListView* view, ItemModelAppIcon* model) {
    // The widest size lines formatSpaceShow can produce in each unit: the
    // height is fixed once, before any scan, so it must hold the worst case.
    const qint64 samples[] = {0, 1024LL * 1024 - 1, 1024LL * 1024 * 1024 - 1, 1024LL * 1024 * 1024 * 1024 - 1,
                              9999LL * 1024 * 1024 * 1024};
    QList<qint64> saved;
    for (int i = 0; i < model->count(); ++i) {
        saved.append(model->node(i)->size);
    }
    int itemHeight = 0;
    for (qint64 sample : samples) {
        for (int i = 0; i < model->count(); ++i) {
            model->node(i)->size = sample;
        }
        for (int i = 0; i < model->count(); ++i) {
            itemHeight = std::max(itemHeight, view->sizeHintForRow(i));
        }
    }
    for (int i = 0; i < model->count(); ++i) {
        model->node(i)->size = saved.at(i);
    }
    model->contentsUpdate();
    // Icon mode lays the row out with the spacing above and below it.
    const int height = itemHeight + 2 * view->spacing() + 2 * view->frameWidth();
    view->setFixedHeight(height);
}
