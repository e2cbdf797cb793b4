#include "DataItemListModel.h"

#include "Data.h"
#include "TextConversion.h"

#include <algorithm>

namespace {

template <class R>
bool ByValue(const R& i_a, const R& i_b)
{
    return i_a.value < i_b.value;
}

} // namespace

DataItemListModel::DataItemListModel(QObject* ip_parent) : QAbstractListModel(ip_parent) {}

void DataItemListModel::SetType(Type* ip_type)
{
    beginResetModel();
    mp_type = ip_type;
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_pendingAdds.clear();
    m_removed.clear();
    if (ip_type) {
        m_rows.reserve(ip_type->ItemCount());
        ip_type->ForEachItem([this](Item* ip_item) { m_rows.push_back(Row{ip_item->GetValue(), ip_item}); });
        std::sort(m_rows.begin(), m_rows.end(), ByValue<Row>);
    }
    m_fetched = int(std::min<size_t>(m_rows.size(), FETCH_CHUNK));
    endResetModel();
}

std::vector<DataItemListModel::Row>::iterator DataItemListModel::Find(const std::string& i_value)
{
    auto it = std::lower_bound(m_rows.begin(), m_rows.end(), i_value,
                               [](const Row& i_row, const std::string& i_v) { return i_row.value < i_v; });
    return it != m_rows.end() && it->value == i_value ? it : m_rows.end();
}

Item* DataItemListModel::ItemAt(const QModelIndex& i_index) const
{
    if (!i_index.isValid() || i_index.row() >= m_fetched || size_t(i_index.row()) >= m_rows.size())
        return nullptr;
    Item* item = m_rows[size_t(i_index.row())].item;
    return std::find(m_removed.begin(), m_removed.end(), item) == m_removed.end() ? item : nullptr;
}

QModelIndex DataItemListModel::IndexOf(Item* ip_item) const
{
    if (!ip_item)
        return QModelIndex();
    auto it = const_cast<DataItemListModel*>(this)->Find(ip_item->GetValue());
    const int row = int(it - m_rows.begin());
    return it != m_rows.end() && it->item == ip_item && row < m_fetched ? index(row) : QModelIndex();
}

void DataItemListModel::NoteAdded(Item* ip_item)
{
    m_pendingAdds.emplace(ip_item, ip_item->GetValue());
}

void DataItemListModel::NoteRemoved(Item* ip_item)
{
    if (m_pendingAdds.empty() || !m_pendingAdds.erase(ip_item))
        m_removed.push_back(ip_item);
}

void DataItemListModel::ApplyPending()
{
    if (!HasPending())
        return;
    struct Add {
        std::string value;
        Item* item;
    };
    std::vector<Add> adds;
    adds.reserve(m_pendingAdds.size());
    for (auto& [item, value] : m_pendingAdds)
        adds.push_back(Add{std::move(value), item});
    m_pendingAdds.clear();
    std::sort(adds.begin(), adds.end(), ByValue<Add>);

    std::sort(m_removed.begin(), m_removed.end());
    auto removed = [this](const Row& i_row) {
        return !m_removed.empty() && std::binary_search(m_removed.begin(), m_removed.end(), i_row.item);
    };
    const bool allFetched = size_t(m_fetched) == m_rows.size();
    size_t firstChange = SIZE_MAX;
    if (adds.empty()) {
        // Removals alone compact in place.
        auto gone = std::find_if(m_rows.begin(), m_rows.end(), removed);
        firstChange = size_t(gone - m_rows.begin());
        m_rows.erase(std::remove_if(gone, m_rows.end(), removed), m_rows.end());
    } else {
        // One merge; rows before the first change stay as the view knows them.
        std::vector<Row> merged;
        merged.reserve(m_rows.size() + adds.size());
        auto changeHere = [&] { firstChange = std::min(firstChange, merged.size()); };
        size_t a = 0;
        for (Row& row : m_rows) {
            for (; a < adds.size() && adds[a].value < row.value; ++a) {
                changeHere();
                merged.push_back(Row{std::move(adds[a].value), adds[a].item});
            }
            if (removed(row)) {
                changeHere();
                continue;
            }
            merged.push_back(std::move(row));
        }
        for (; a < adds.size(); ++a) {
            changeHere();
            merged.push_back(Row{std::move(adds[a].value), adds[a].item});
        }
        m_rows.swap(merged);
    }
    m_removed.clear();

    const size_t newSize = m_rows.size();
    const size_t newFetched = allFetched ? std::min(newSize, size_t(m_fetched) + FETCH_CHUNK)
                                         : std::min(newSize, size_t(m_fetched));
    // The view loses the changed tail of what it knows and gets it back:
    // two signals per turn, however many items came and went.
    if (firstChange < size_t(m_fetched)) {
        beginRemoveRows(QModelIndex(), int(firstChange), m_fetched - 1);
        m_fetched = int(firstChange);
        endRemoveRows();
    }
    if (newFetched > size_t(m_fetched)) {
        beginInsertRows(QModelIndex(), m_fetched, int(newFetched) - 1);
        m_fetched = int(newFetched);
        endInsertRows();
    }
}

int DataItemListModel::rowCount(const QModelIndex& i_parent) const
{
    return i_parent.isValid() ? 0 : m_fetched;
}

QVariant DataItemListModel::data(const QModelIndex& i_index, int i_role) const
{
    if (i_role != Qt::DisplayRole || !i_index.isValid() || i_index.row() >= m_fetched
        || size_t(i_index.row()) >= m_rows.size())
        return QVariant();
    return FromLatin1(m_rows[size_t(i_index.row())].value);
}

bool DataItemListModel::canFetchMore(const QModelIndex& i_parent) const
{
    return !i_parent.isValid() && size_t(m_fetched) < m_rows.size();
}

void DataItemListModel::fetchMore(const QModelIndex& i_parent)
{
    if (!canFetchMore(i_parent))
        return;
    const int more = int(std::min<size_t>(m_rows.size() - size_t(m_fetched), FETCH_CHUNK));
    beginInsertRows(QModelIndex(), m_fetched, m_fetched + more - 1);
    m_fetched += more;
    endInsertRows();
}
