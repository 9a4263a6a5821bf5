#include "mainwindow/listview.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>

// ---- ListItem ------------------------------------------------------------

ListItem::ListItem(const QString& strKey) : m_strKey(strKey) {
    setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    setCheckState(Qt::Unchecked);
}

int ListItem::Index() const {
    const QListWidget* list = listWidget();
    return list ? list->row(this) + 1 : 0;
}

bool ListItem::Selected() const {
    return isSelected();
}

void ListItem::setSelected(bool bSelected) {
    QListWidget* list = listWidget();
    if (!list) {
        return;
    }
    if (bSelected) {
        // setCurrentItem moves the focus rectangle too, so that the keyboard
        // continues from here; it raises no ItemClick (that is user input only).
        list->setCurrentItem(this, QItemSelectionModel::ClearAndSelect);
        list->scrollToItem(this);
    } else if (isSelected()) {
        list->clearSelection();
    }
}

// ---- ListItems -----------------------------------------------------------

ListItem& ListItems::Add(const QString& strKey) {
    const QString folded = Fold(strKey);
    if (const auto found = m_byKey.constFind(folded); found != m_byKey.constEnd()) {
        const QString& existing = found.value()->Key();
        if (existing == strKey) {
            throw ListError(QStringLiteral("The caption \"%1\" is already in the list. "
                                           "Choose another caption.")
                                .arg(strKey));
        }
        throw ListError(QStringLiteral("The caption \"%1\" is already in the list as \"%2\" "
                                       "(captions differing only in letter case are the same). "
                                       "Choose another caption.")
                            .arg(strKey, existing));
    }
    auto* item = new ListItem(strKey);  // owned by the list widget from here on
    item->QListWidgetItem::setText(strKey);
    m_view.addItem(item);
    m_byKey.insert(folded, item);
    return *item;
}

int ListItems::Count() const {
    return m_view.count();
}

ListItem& ListItems::Item(int position) const {
    if (position < 1 || position > m_view.count()) {
        throw ListError(QStringLiteral("There is no target at position %1 of the list "
                                       "(it holds %2).")
                            .arg(position)
                            .arg(m_view.count()));
    }
    return *static_cast<ListItem*>(m_view.item(position - 1));
}

ListItem& ListItems::Item(const QString& strKey) const {
    const auto found = m_byKey.constFind(Fold(strKey));
    if (found == m_byKey.constEnd()) {
        throw ListError(
            QStringLiteral("The caption \"%1\" is not in the list; it may have been deleted.")
                .arg(strKey));
    }
    return *found.value();
}

void ListItems::Remove(int position) {
    ListItem& item = Item(position);
    m_byKey.remove(Fold(item.Key()));
    delete m_view.takeItem(position - 1);
}

void ListItems::Clear() {
    m_byKey.clear();
    m_view.clear();
}

// ---- ListView ------------------------------------------------------------

ListView::ListView(QWidget* parent) : QListWidget(parent), m_items(*this) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(false);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { emit ItemClick(static_cast<ListItem*>(item)); });
}

ListItem* ListView::SelectedItem() const {
    const QList<QListWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? nullptr : static_cast<ListItem*>(selected.first());
}

void ListView::keyPressEvent(QKeyEvent* event) {
    QListWidgetItem* before = currentItem();
    QListWidget::keyPressEvent(event);
    QListWidgetItem* after = currentItem();
    // Moving through the list with the keyboard shows the facts of the item it
    // lands on, as a click would.
    if (after && after != before && after->isSelected()) {
        emit ItemClick(static_cast<ListItem*>(after));
    }
}

QStringList DroppedPaths(const QMimeData* data) {
    QStringList paths;
    if (!data || !data->hasUrls()) {
        return paths;
    }
    const QList<QUrl> urls = data->urls();
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) {
            QString path = url.toLocalFile();
            if (!path.isEmpty()) {
                paths.append(path);
            }
        }
    }
    return paths;
}

void ListView::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedPaths(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void ListView::dragMoveEvent(QDragMoveEvent* event) {
    if (!DroppedPaths(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void ListView::dropEvent(QDropEvent* event) {
    const QStringList paths = DroppedPaths(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    emit FilesDropped(paths);
}
