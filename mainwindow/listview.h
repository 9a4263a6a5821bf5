#pragma once
// lstFile's control: a list of targets, one line per target with a check box
// and the caption, addressed by 1-based position or by key.
//
// Keys are compared without regard to letter case: the settings file names a
// section by the caption and matches section names without regard to case, so
// two captions that differ only in case would share one section and one of
// the two targets would be lost at the next start.
//
// Every failing operation throws ListError whose description names the cause.

#include <QHash>
#include <QListWidget>
#include <QListWidgetItem>
#include <QString>
#include <array>
#include <stdexcept>

// The target record: 0 the caption, 1 the database path as entered, 2 the
// password (empty when none). Always stored and replaced whole, by value.
using TargetRecord = std::array<QString, 3>;

class ListError : public std::runtime_error {
  public:
    explicit ListError(const QString& description)
        : std::runtime_error(description.toStdString()), m_strDescription(description) {}
    const QString& Description() const { return m_strDescription; }

  private:
    QString m_strDescription;
};

class ListView;

// One target in the list. Owned by the list; a pointer to it is valid until
// the item is removed.
class ListItem : public QListWidgetItem {
  public:
    const QString& Key() const { return m_strKey; }

    QString Text() const { return text(); }
    void setText(const QString& strText) { QListWidgetItem::setText(strText); }

    // The attached target record, copied in and out.
    TargetRecord Tag() const { return m_tag; }
    void setTag(const TargetRecord& tag) { m_tag = tag; }

    bool Checked() const { return checkState() == Qt::Checked; }
    void setChecked(bool bChecked) { setCheckState(bChecked ? Qt::Checked : Qt::Unchecked); }

    // The item's current 1-based position.
    int Index() const;

    bool Selected() const;
    // True makes this the list's one selected item (highlighted, current);
    // false clears the selection when this item holds it. Never raises ItemClick.
    void setSelected(bool bSelected);

  private:
    friend class ListItems;
    explicit ListItem(const QString& strKey);

    QString m_strKey;
    TargetRecord m_tag;
};

// The items of a ListView (its `ListItems`).
class ListItems {
  public:
    explicit ListItems(ListView& view) : m_view(view) {}

    // Appends an item with the given key; throws when another item already
    // has that key (compared without regard to letter case).
    ListItem& Add(const QString& strKey);
    int Count() const;
    // The item at a 1-based position; throws when there is none.
    ListItem& Item(int position) const;
    // The item with the given key; throws when there is none.
    ListItem& Item(const QString& strKey) const;
    // Removes the item at a 1-based position; throws when there is none.
    void Remove(int position);
    // Removes every item.
    void Clear();

  private:
    static QString Fold(const QString& strKey) { return strKey.toCaseFolded(); }

    ListView& m_view;
    QHash<QString, ListItem*> m_byKey;
};

class ListView : public QListWidget {
    Q_OBJECT
  public:
    explicit ListView(QWidget* parent = nullptr);

    ListItems& Items() { return m_items; }
    const ListItems& Items() const { return m_items; }
    // The selected item, or nullptr when none is selected.
    ListItem* SelectedItem() const;

  signals:
    // The user clicked an item, or moved the selection to it with the keyboard.
    // Selecting from code never raises it.
    void ItemClick(ListItem* item);
    // Files were dropped onto the list: their local paths, in the drop's order
    // (never empty).
    void FilesDropped(const QStringList& paths);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    ListItems m_items;
};

// The local file paths that dropped data carries (its list of URLs reduced to
// the ones naming local files), in order; empty when it carries none.
QStringList DroppedPaths(const QMimeData* data);
