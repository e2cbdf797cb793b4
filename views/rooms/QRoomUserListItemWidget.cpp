#include "QRoomUserListItemWidget.h"

#include "NameCells.h"

QRoomUserListItemWidget::QRoomUserListItemWidget(QTreeWidget* ip_tree) : QTreeWidgetItem(ip_tree) {}

void QRoomUserListItemWidget::SetName(const std::string& i_name)
{
    SetNameCell(this, 2, i_name);
    const QString name = text(2);
    m_nameKey.resize(name.size());
    QChar* key = m_nameKey.data();
    for (qsizetype k = 0; k < name.size(); ++k)
    {
        // Characters outside the basic plane fold as pairs: left to the
        // comparison of the cells.
        if (name.at(k).isSurrogate())
        {
            m_nameKey.clear();
            m_hasKey = false;
            return;
        }
        key[k] = name.at(k).toCaseFolded();
    }
    m_hasKey = true;
}

bool QRoomUserListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const QTreeWidget* tree = treeWidget();
    const int column = tree ? tree->sortColumn() : 2;
    if (column == 1)
    {
        const int order = data(1, kRoomUserSortRole)
                              .toString()
                              .compare(i_other.data(1, kRoomUserSortRole).toString(), Qt::CaseInsensitive);
        if (order != 0)
            return order < 0;
    }
    else if (column != 2)
    {
        // A cell without a key (the empty column, an empty number) is 0.
        const qlonglong mine = data(column, kRoomUserSortRole).toLongLong();
        const qlonglong theirs = i_other.data(column, kRoomUserSortRole).toLongLong();
        if (mine != theirs)
            return mine < theirs;
    }
    const auto* other = dynamic_cast<const QRoomUserListItemWidget*>(&i_other);
    if (other && m_hasKey && other->m_hasKey)
        return m_nameKey < other->m_nameKey;
    return text(2).compare(i_other.text(2), Qt::CaseInsensitive) < 0;
}
