#pragma once
// A row of the room list: column 0 the room name, column 1 its user count.
// Sorted on the name without regard to case, otherwise on the count as a
// number.

#include <QTreeWidgetItem>

class QRoomListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomListItemWidget(QTreeWidget* ip_tree);

    bool operator<(const QTreeWidgetItem& i_other) const override;
};
