#include "QRoomListItemWidget.h"

QRoomListItemWidget::QRoomListItemWidget(QTreeWidget* ip_tree) : QTreeWidgetItem(ip_tree) {}

bool QRoomListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const QTreeWidget* tree = treeWidget();
    const int column = tree ? tree->sortColumn() : 0;
    if (column == 0)
        return text(0).compare(i_other.text(0), Qt::CaseInsensitive) < 0;
    // Text that is no number counts as 0.
    return text(1).toLongLong() < i_other.text(1).toLongLong();
}
