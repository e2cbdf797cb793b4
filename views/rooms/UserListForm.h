#pragma once
// The user's list of users and groups, embedded in the main window's
// "Users" tab, with the users whose access to the shared files is withdrawn
// and those whose chat is ignored. Every row mirrors a flag or entry in the
// store; the rows follow the store through path events and are tied to
// their users through node items.

#include <QPoint>
#include <QWidget>

#include <string>

#include "Data.h"

class QTreeWidget;
class QTreeWidgetItem;
class Ui_UserListForm;

class UserListForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* ip_parent = nullptr);
    ~UserListForm() override;

    // Runs after the state file is loaded: the list's row types are not
    // saved, so they are made fresh on every start.
    void Init();


public slots:
    void OnUserOnline(Item* ip_user);
    void OnUserOffline(Item* ip_user);
    void OnUserAddedToList(Item* ip_user);
    void OnUserRemovedFromList(Item* ip_user);
    void OnUserGroupAdded(Item* ip_user);
    void OnUserGroupRemoved(Item* ip_user);
    void OnActionBarTriggered(std::string i_action);
    void OnUserListContextMenuRequested(QPoint i_point);
    void OnUnsharedListContextMenuRequested(QPoint i_point);
    void OnIgnoredListContextMenuRequested(QPoint i_point);
    void OnUserUnshared(Item* ip_user);
    void OnUserReshared(Item* ip_user);
    void OnUserIgnored(Item* ip_user);
    void OnUserUnignored(Item* ip_user);

private:
    void UpdateUserGroupsDisplay(std::string i_user);

    // A row for the user in the tree, tied to the user through an item of
    // the node type; nothing when the user has one already. Returns the row
    // (null when it existed).
    QTreeWidgetItem* AddRow(QTreeWidget* ip_tree, const char* ip_nodeType, Item* ip_user);
    // Deletes the user's row of the node type and the node item.
    static void RemoveRow(const char* ip_nodeType, Item* ip_user);
    // The user's row of the node type, or null.
    static QTreeWidgetItem* Row(const char* ip_nodeType, Item* ip_user);
    void ShowUserMenu(QTreeWidget* ip_tree, QPoint i_point);

    Ui_UserListForm* mp_ui;
};
