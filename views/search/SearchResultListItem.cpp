#include "SearchResultListItem.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "NameCells.h"
#include "TextConversion.h"

#include <QTreeWidget>

namespace
{
const int kFreeColumn = 1;
const int kSpeedColumn = 2;
const int kFileColumn = 4;
const int kSizeColumn = 5;
}

SearchResultListItem::SearchResultListItem() : ListedTreeItem(0) {}

SearchResultListItem::SearchResultListItem(QTreeWidget* ip_tree) : ListedTreeItem(ip_tree, 0) {}

SearchResultListItem::SearchResultListItem(QTreeWidgetItem* ip_parent) : ListedTreeItem(ip_parent, 0) {}

SearchResultListItem::~SearchResultListItem() = default;

void SearchResultListItem::SetUser(const std::string& i_name, bool i_available, const std::string& i_queue,
                                   unsigned long long i_speed)
{
    m_available = i_available;
    // The queue is a 32-bit unsigned count on the wire; read it as such so a
    // huge queue never sorts as an empty one.
    m_queue = ParseUnsignedDecimal(i_queue);
    m_speed = i_speed;
    SetNameCell(this, 0, i_name);
    setText(kFreeColumn, i_available ? QStringLiteral("Y") : FromLatin1(i_queue));
    setTextAlignment(kFreeColumn, Qt::AlignHCenter);
    setText(kSpeedColumn, i_speed ? QString::number(double(i_speed) / 1024.0, 'f', 1) : QString());
}

void SearchResultListItem::SetFileName(const QString& i_name)
{
    m_fileName = i_name;
    setText(kFileColumn, i_name);
}

void SearchResultListItem::SetFileSize(long long i_bytes)
{
    m_fileSize = i_bytes;
    // An empty cell holds the column: the row counts its columns by the
    // cells it holds.
    if (i_bytes > 0 && columnCount() <= kSizeColumn)
        setText(kSizeColumn, QString());
}

QVariant SearchResultListItem::data(int i_column, int i_role) const
{
    if (i_column == kSizeColumn && m_fileSize > 0 && (i_role == Qt::DisplayRole || i_role == Qt::EditRole))
        return CommafyNumber(m_fileSize);
    return ListedTreeItem::data(i_column, i_role);
}

void SearchResultListItem::SetShown(bool i_shown)
{
    // Outside a tree the view holds no state, and none is kept here either.
    Q_ASSERT(m_hidden == isHidden());
    if (m_hidden != i_shown || !treeWidget())
        return;
    m_hidden = !i_shown;
    setHidden(m_hidden);
}

bool SearchResultListItem::operator<(const QTreeWidgetItem& i_other) const
{
    const auto* other = dynamic_cast<const SearchResultListItem*>(&i_other);
    if (!other)
        return QTreeWidgetItem::operator<(i_other);
    const QTreeWidget* tree = treeWidget();
    const int column = tree ? tree->sortColumn() : 0;
    if (column == kFreeColumn)
    {
        if (m_available != other->m_available)
            return other->m_available;
        if (!m_available && m_queue != other->m_queue)
            return m_queue > other->m_queue;
        if (m_speed != other->m_speed)
            return m_speed < other->m_speed;
    }
    else if (column == kSpeedColumn)
    {
        if (m_speed != other->m_speed)
            return m_speed < other->m_speed;
    }
    return other->m_fileName < m_fileName;
}
