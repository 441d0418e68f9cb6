#include "ui/itemmodel.h"

#include "app/paths.h"

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>

AbsTreeItemModel::_ItemNode::_ItemNode(int type, QString name, _ItemNode* parent)
    : type(static_cast<ITEMNODE_TYPE>(type)), name(std::move(name)), parent(parent) {}

AbsTreeItemModel::_ItemNode::~_ItemNode() {
    qDeleteAll(children);
    children.clear();
}

AbsTreeItemModel::AbsTreeItemModel(QObject* parent) : QAbstractItemModel(parent) {}

AbsTreeItemModel::~AbsTreeItemModel() {
    qDeleteAll(m_nodes);
    m_nodes.clear();
}

AbsTreeItemModel::_ItemNode* AbsTreeItemModel::nodeOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) {
        return nullptr;
    }
    return static_cast<_ItemNode*>(index.internalPointer());
}

const QList<AbsTreeItemModel::_ItemNode*>& AbsTreeItemModel::childrenOf(const _ItemNode* node) const {
    return node ? node->children : m_nodes;
}

int AbsTreeItemModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() && parent.column() > 0) {
        return 0;
    }
    return int(childrenOf(nodeOf(parent)).size());
}

QModelIndex AbsTreeItemModel::index(int row, int column, const QModelIndex& parent) const {
    if (!hasIndex(row, column, parent)) {
        return {};
    }
    _ItemNode* node = childrenOf(nodeOf(parent)).at(row);
    node->index = createIndex(row, column, node);
    return node->index;
}

QModelIndex AbsTreeItemModel::parent(const QModelIndex& index) const {
    _ItemNode* node = nodeOf(index);
    if (!node || !node->parent) {
        return {};
    }
    return indexOfItemNode(node->parent);
}

void AbsTreeItemModel::contentsUpdate() {
    emit layoutAboutToBeChanged();
    emit layoutChanged();
}

QModelIndex AbsTreeItemModel::indexOfItemNode(_ItemNode* node) const {
    if (!node) {
        return {};
    }
    if (node->index.isValid()) {
        return node->index;
    }
    const int row = int(childrenOf(node->parent).indexOf(node));
    return createIndex(row, 0, node);
}

void AbsTreeItemModel::clearChilds(_ItemNode* node) {
    QList<_ItemNode*>& list = node ? node->children : m_nodes;
    if (list.isEmpty()) {
        return;
    }
    beginRemoveRows(indexOfItemNode(node), 0, int(list.size()) - 1);
    qDeleteAll(list);
    list.clear();
    endRemoveRows();
}

_APPIconItemNode::_APPIconItemNode(_ItemNode* parent, const _IOSAppInfo& info, QString iconPath, bool checked,
                                   bool checkHidden)
    : _ItemNode(ITEMNODE_APP_ICON, info.appName, parent), appId(info.appId), appName(info.appName),
      iconPath(std::move(iconPath)), checked(checked), checkHidden(checkHidden) {}

ItemModelAppIcon::ItemModelAppIcon(QObject* parent) : AbsTreeItemModel(parent) {}

int ItemModelAppIcon::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant ItemModelAppIcon::headerData(int, Qt::Orientation, int) const {
    return {};
}

void ItemModelAppIcon::addNode(_APPIconItemNode* node) {
    m_nodes.append(node);
}

_APPIconItemNode* ItemModelAppIcon::node(int row) const {
    if (row < 0 || row >= m_nodes.size()) {
        return nullptr;
    }
    return static_cast<_APPIconItemNode*>(m_nodes.at(row));
}

QString ItemModelAppIcon::caption(const QString& name, qint64 size) {
    QString text = name.size() >= 13 ? name.left(9) + QStringLiteral("...") : name;
    if (size >= 0) {
        text += QStringLiteral("\n(%1)").arg(formatSpaceShow(size));
    }
    return text;
}

static QImage loadIcon(const QString& path) {
    QImage image;
    if (!path.isEmpty() && !image.load(path, "JPEG")) {
        image.load(path, "PNG");
    }
    if (image.isNull()) {
        image.load(QStringLiteral(":res/def_app.png"), "PNG");
    }
    if (image.isNull()) {
        return image;
    }
    return image.scaled(64, 64, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

QVariant ItemModelAppIcon::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.column() < 0 || role > Qt::CheckStateRole) {
        return {};
    }
    auto* node = static_cast<_APPIconItemNode*>(nodeOf(index));
    if (!node) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
        return caption(node->name, node->size);
    case Qt::DecorationRole: {
        // Decoded at each request: the images are small and a cache would go stale when icons arrive.
        const QImage image = loadIcon(node->iconPath);
        return image.isNull() ? QVariant() : QVariant(QPixmap::fromImage(image));
    }
    case Qt::ToolTipRole:
        return node->name;
    case Qt::FontRole: {
        QFont font = QGuiApplication::font();
        font.setPointSize(11);
        return font;
    }
    case Qt::ForegroundRole:
        return QColor(122, 121, 121, 255);
    case Qt::CheckStateRole:
        if (index.column() != 0 || node->checkHidden) {
            return {};
        }
        return node->checked ? Qt::Checked : Qt::Unchecked;
    default:
        return {};
    }
}

Qt::ItemFlags ItemModelAppIcon::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = AbsTreeItemModel::flags(index);
    if (index.isValid() && index.column() == 0) {
        f |= Qt::ItemIsUserCheckable;
    }
    return f;
}

bool ItemModelAppIcon::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0) {
        return false;
    }
    auto* node = static_cast<_APPIconItemNode*>(nodeOf(index));
    if (!node || !m_nodes.contains(node)) {
        return false;
    }
    if (!node->checkHidden) {
        node->checked = (value.toInt() == Qt::Checked);
        emit itemChecked(node);
    }
    emit dataChanged(index, index);
    return true;
}
