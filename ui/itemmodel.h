#pragma once

// Item models behind the main window's lists.
//
// AbsTreeItemModel is a tree of owned nodes; the internal pointer of every
// index is its node. ItemModelAppIcon shows a flat list of app or function
// nodes as a 64-pixel icon, a caption with the scanned size, and a check box.

#include "cleaners/iosappinfo.h"

#include <QAbstractItemModel>
#include <QList>
#include <QModelIndex>
#include <QString>

enum ITEMNODE_TYPE : int {
    ITEMNODE_BACKUP = 0,      // reserved
    ITEMNODE_ROOT_DEVICE = 1, // reserved
    ITEMNODE_IOS_DEVICE = 2,  // reserved
    ITEMNODE_APP_ICON = 3,
};

class AbsTreeItemModel : public QAbstractItemModel {
    Q_OBJECT
public:
    struct _ItemNode {
        // Does not add itself to the parent's children: the caller does.
        _ItemNode(int type, QString name, _ItemNode* parent);
        virtual ~_ItemNode();
        _ItemNode(const _ItemNode&) = delete;
        _ItemNode& operator=(const _ItemNode&) = delete;

        ITEMNODE_TYPE type;
        QString name;
        QModelIndex index; // the index last handed out for this node
        _ItemNode* parent;
        QList<_ItemNode*> children; // owned
    };

    explicit AbsTreeItemModel(QObject* parent = nullptr);
    ~AbsTreeItemModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;

    // Callers use it after adding nodes or changing node fields.
    void contentsUpdate();
    QModelIndex indexOfItemNode(_ItemNode* node) const;
    // Deletes the children of node (the top-level nodes for null).
    void clearChilds(_ItemNode* node);

    const QList<_ItemNode*>& topNodes() const { return m_nodes; }

protected:
    _ItemNode* nodeOf(const QModelIndex& index) const;
    const QList<_ItemNode*>& childrenOf(const _ItemNode* node) const;

    QList<_ItemNode*> m_nodes; // owned top-level nodes
};

struct _APPIconItemNode : public AbsTreeItemModel::_ItemNode {
    _APPIconItemNode(_ItemNode* parent, const _IOSAppInfo& info, QString iconPath, bool checked, bool checkHidden);

    QString appId;
    QString appName;
    QString iconPath;
    bool checked;
    bool checkHidden; // no check box; the state cannot be changed by the user
    qint64 size = -1; // -1: not scanned
};
using APPIconItemNode = _APPIconItemNode;

class ItemModelAppIcon : public AbsTreeItemModel {
    Q_OBJECT
public:
    explicit ItemModelAppIcon(QObject* parent = nullptr);

    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // Takes ownership; no row signals (callers follow with contentsUpdate()).
    void addNode(_APPIconItemNode* node);
    _APPIconItemNode* node(int row) const;
    int count() const { return int(m_nodes.size()); }

    // The caption: long names cut to 9 characters and "...", then the size line once scanned.
    static QString caption(const QString& name, qint64 size);

signals:
    void itemChecked(APPIconItemNode* node);
};
