#include "QRoomUserListItemWidget.h"

QRoomUserListItemWidget::QRoomUserListItemWidget(QTreeWidget* ip_tree) : QTreeWidgetItem(ip_tree) {}

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
    return text(2).compare(i_other.text(2), Qt::CaseInsensitive) < 0;
}
