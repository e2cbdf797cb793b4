#pragma once
// The items of one store type, sorted by value byte for byte, for a list
// view over types of a million items. Rows reach the view in chunks as it
// scrolls; adds and removes are collected as they happen and applied
// together by ApplyPending(), once per event-loop turn. Each row keeps a
// copy of its value, so the model never reads an item that has gone; an
// item removed since the last turn is only compared by address.

#include <QAbstractListModel>

#include <string>
#include <unordered_map>
#include <vector>

class Item;
class Type;

class DataItemListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int FETCH_CHUNK = 1000;

    explicit DataItemListModel(QObject* ip_parent = nullptr);

    // Lists the type's items (none for null).
    void SetType(Type* ip_type);
    Type* ListedType() const { return mp_type; }

    // The row's item; null when it has been removed since.
    Item* ItemAt(const QModelIndex& i_index) const;
    // The shown row of a listed item; invalid when it is not shown yet.
    QModelIndex IndexOf(Item* ip_item) const;
    // Every listed item, shown or not yet.
    size_t ListedCount() const { return m_rows.size(); }

    // Store events of the listed type: O(1) each, nothing shown yet.
    void NoteAdded(Item* ip_item);
    void NoteRemoved(Item* ip_item);
    bool HasPending() const { return !m_removed.empty() || !m_pendingAdds.empty(); }
    // Applies the noted changes in one pass.
    void ApplyPending();

    int rowCount(const QModelIndex& i_parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& i_index, int i_role) const override;
    bool canFetchMore(const QModelIndex& i_parent) const override;
    void fetchMore(const QModelIndex& i_parent) override;

private:
    struct Row {
        std::string value;
        Item* item;
    };
    std::vector<Row>::iterator Find(const std::string& i_value);

    Type* mp_type = nullptr;
    std::vector<Row> m_rows;   // by value
    int m_fetched = 0;         // rows the view knows
    std::unordered_map<Item*, std::string> m_pendingAdds;
    // Listed items removed since the last turn; their addresses may since
    // have been reused by new items, which wait in m_pendingAdds.
    std::vector<Item*> m_removed;
};
