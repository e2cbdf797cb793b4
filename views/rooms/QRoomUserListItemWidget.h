#pragma once
// A row of a room's user list: column 1 the country flag, 2 the user name,
// 3 the shared files, 4 the download speed. Sorted on the name without
// regard to case; on another column by the number the cell shows (the flag
// by its country code), kept under kRoomUserSortRole when the row is made,
// ties by name.

#include <QTreeWidgetItem>

#include <string>

constexpr int kRoomUserSortRole = Qt::UserRole;

class QRoomUserListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomUserListItemWidget(QTreeWidget* ip_tree);

    // The user name in column 2, its bytes kept (NameCells.h).
    void SetName(const std::string& i_name);

    bool operator<(const QTreeWidgetItem& i_other) const override;

private:
    // The name with each character's case folded as a comparison that
    // ignores case folds it, so sorting thousands of rows by name compares
    // two strings rather than reading both cells each time. Without one
    // (a name set as plain text) the cells are compared.
    QString m_nameKey;
    bool m_hasKey = false;
};
