#include "ui/mylistview.h"

void MyListView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    emit onSelectionChanged(selected, deselected);
    QListView::selectionChanged(selected, deselected);
}

void MyListView::contextMenuEvent(QContextMenuEvent* event) {
    emit createContextMenu();
    QListView::contextMenuEvent(event);
}

void MyTreeView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    emit onSelectionChanged(selected, deselected);
    QTreeView::selectionChanged(selected, deselected);
}

void MyTreeView::contextMenuEvent(QContextMenuEvent* event) {
    emit createContextMenu();
    QTreeView::contextMenuEvent(event);
}
