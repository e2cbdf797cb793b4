#pragma once
// A tree row whose address the store may keep: it is listed while it lives,
// so LiveObject finds it only until it is deleted, by whichever owner.

#include "LiveAddresses.h"

#include <QTreeWidgetItem>

class ListedTreeItem : public QTreeWidgetItem
{
public:
    template <class... Args>
    explicit ListedTreeItem(Args&&... i_args) : QTreeWidgetItem(std::forward<Args>(i_args)...)
    {
        ListLive(static_cast<QTreeWidgetItem*>(this));
    }
    ~ListedTreeItem() override { UnlistLive(static_cast<QTreeWidgetItem*>(this)); }
};
