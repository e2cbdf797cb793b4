#pragma once
// A row of a room's user list: column 1 the country flag, 2 the user name,
// 3 the shared files, 4 the download speed. Sorted on the name without
// regard to case; on another column by the number the cell shows (the flag
// by its country code), kept under kRoomUserSortRole when the row is made,
// ties by name.

#include <QTreeWidgetItem>

constexpr int kRoomUserSortRole = Qt::UserRole;

class QRoomUserListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomUserListItemWidget(QTreeWidget* ip_tree);

    bool operator<(const QTreeWidgetItem& i_other) const override;
};
