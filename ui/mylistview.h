#pragma once

#include <QItemSelection>
#include <QListView>
#include <QTreeView>

class MyListView : public QListView {
    Q_OBJECT
public:
    using QListView::QListView;

signals:
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void createContextMenu();

protected:
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
};

class MyTreeView : public QTreeView {
    Q_OBJECT
public:
    using QTreeView::QTreeView;

signals:
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void createContextMenu();

protected:
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
};
