#include "UserListForm.h"

#include "ui_UserListForm.h"

#include "ActionSetToolBar.h"
#include "AddUserDialog.h"
#include "FocusFunctions.h"
#include "ListedTreeItem.h"
#include "LiveAddresses.h"
#include "NameCells.h"
#include "SizeManager.h"
#include "StoreLookup.h"
#include "TextConversion.h"
#include "UserGroupConfigDialog.h"
#include "UserMenuOptions.h"
#include "server.h"

#include <QHeaderView>

namespace
{
const char* const kListNode = "user_list_node";
const char* const kUnsharedNode = "unshared_list_node";
const char* const kIgnoredNode = "ignored_list_node";
}

UserListForm::UserListForm(QWidget* ip_parent) : QWidget(ip_parent), mp_ui(new Ui_UserListForm)
{
    mp_ui->setupUi(this);

    mp_ui->userList->setColumnCount(3);
    mp_ui->userList->setHeaderLabels({QStringLiteral("User"), QStringLiteral("Online Status"), QStringLiteral("Groups")});
    mp_ui->userList->setColumnWidth(0, 200);
    mp_ui->userList->setColumnWidth(1, 100);
    mp_ui->userList->header()->setStretchLastSection(true);
    for (QTreeWidget* tree : {mp_ui->unsharedList, mp_ui->ignoredList})
    {
        tree->setColumnCount(1);
        tree->setHeaderLabels({QStringLiteral("User")});
        tree->setColumnWidth(0, 200);
    }

    connect(mp_ui->userList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUserListContextMenuRequested);
    connect(mp_ui->unsharedList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUnsharedListContextMenuRequested);
    connect(mp_ui->ignoredList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnIgnoredListContextMenuRequested);

    RegisterWidgetForTabFocus(mp_ui->userList, 1);
    RegisterWidgetForTabFocus(mp_ui->unsharedList, 1);
    RegisterWidgetForTabFocus(mp_ui->ignoredList, 1);
}

UserListForm::~UserListForm()
{
    // The node items name rows that go with the form.
    DisableHandlers();
    for (const char* type : {kListNode, kUnsharedNode, kIgnoredNode})
        AllItems(type).Remove();
    delete mp_ui;
}

void UserListForm::Init()
{
    // 1. The row node types, one item per row, one to one with its user.
    Type* user = T("user");
    for (const char* name : {kListNode, kUnsharedNode, kIgnoredNode})
    {
        Type* node = d->HasType(name);
        if (!node)
        {
            node = d->NewType(name, true, false, true);
            node->RelateToType(user, One, One, false);
        }
    }

    // 2 to 4. Rows for what the loaded store holds; sorted once filled.
    for (Item* listed : AllItems("in_user_list").GetItems("user"))
    {
        if (AddRow(mp_ui->userList, kListNode, listed))
        {
            if (gp_server)
                gp_server->TrackUser(listed->AsString());
            UpdateUserGroupsDisplay(listed->AsString());
        }
    }
    mp_ui->userList->sortByColumn(0, Qt::AscendingOrder);
    mp_ui->userList->setSortingEnabled(true);
    for (Item* unshared : AllItems("unshared").GetItems("user"))
        AddRow(mp_ui->unsharedList, kUnsharedNode, unshared);
    mp_ui->unsharedList->sortByColumn(0, Qt::AscendingOrder);
    mp_ui->unsharedList->setSortingEnabled(true);
    for (Item* ignored : AllItems("is_ignored").GetItems("user"))
        AddRow(mp_ui->ignoredList, kIgnoredNode, ignored);
    mp_ui->ignoredList->sortByColumn(0, Qt::AscendingOrder);
    mp_ui->ignoredList->setSortingEnabled(true);

    // 5. The flags, each on its own.
    auto subscribe = [&](const char* ip_step, PathNodeRelation i_relation, void (UserListForm::*i_handler)(Item*),
                         const char* ip_condition = nullptr) {
        auto* root = new PathNode(d, "user");
        new PathNode(root, ip_step, i_relation);
        if (ip_condition)
            new PathNode(root, ip_condition, ConnectedOnly);
        AddPathHandler(root, this, i_handler);
    };
    subscribe("is_online", NotifyOnConnect, &UserListForm::OnUserOnline, "in_user_list");
    subscribe("is_online", NotifyOnDisconnect, &UserListForm::OnUserOffline, "in_user_list");
    subscribe("in_user_list", NotifyOnConnect, &UserListForm::OnUserAddedToList);
    subscribe("in_user_list", NotifyOnDisconnect, &UserListForm::OnUserRemovedFromList);
    subscribe("unshared", NotifyOnConnect, &UserListForm::OnUserUnshared);
    subscribe("unshared", NotifyOnDisconnect, &UserListForm::OnUserReshared);
    subscribe("is_ignored", NotifyOnConnect, &UserListForm::OnUserIgnored);
    subscribe("is_ignored", NotifyOnDisconnect, &UserListForm::OnUserUnignored);

    // 6 to 8. The toolbar's set, shown while the "User List" page has the
    // focus.
    if (actionBar)
    {
        actionBar->AddSetAction("user_list", "manual_add_user", "Add User", ":/icons/add_user_icon", false);
        actionBar->AddSetAction("user_list", "configure_user_groups", "Configure User Groups", ":/icons/users_icon",
                                false);
        actionBar->RegisterWidget(mp_ui->userListTab, QStringLiteral("user_list"));
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &UserListForm::OnActionBarTriggered);
    }

    // 9. Groups joining or leaving a listed user's entry.
    for (auto relation : {NotifyOnConnect, NotifyOnDisconnect})
    {
        auto* root = new PathNode(d, "user");
        auto* entry = new PathNode(root, "in_user_list", ConnectedOnly);
        new PathNode(entry, "user_list_group", relation);
        AddPathHandler(root, this,
                       relation == NotifyOnConnect ? &UserListForm::OnUserGroupAdded : &UserListForm::OnUserGroupRemoved);
    }

    // 10.
    if (sizeManager)
        sizeManager->RegisterTreeWidget(QStringLiteral("user_list"), mp_ui->userList);
}

QTreeWidgetItem* UserListForm::AddRow(QTreeWidget* ip_tree, const char* ip_nodeType, Item* ip_user)
{
    if (ItemPtr(ip_user).IsConnected(ip_nodeType))
        return nullptr;
    auto* row = new ListedTreeItem;
    SetNameCell(row, 0, ip_user->AsString());
    ip_tree->addTopLevelItem(row);
    ItemPtr(ip_user) += T(ip_nodeType)->GetItem(Value(row));
    return row;
}

QTreeWidgetItem* UserListForm::Row(const char* ip_nodeType, Item* ip_user)
{
    return LiveObject<QTreeWidgetItem>(ItemPtr(ip_user)[ip_nodeType]);
}

void UserListForm::RemoveRow(const char* ip_nodeType, Item* ip_user)
{
    const ItemPtr node = ItemPtr(ip_user)[ip_nodeType];
    if (!node)
        return;
    delete LiveObject<QTreeWidgetItem>(node);
    node.Remove();
}

void UserListForm::OnUserOnline(Item* ip_user)
{
    if (QTreeWidgetItem* row = Row(kListNode, ip_user))
        row->setText(1, QStringLiteral("Online"));
}

void UserListForm::OnUserOffline(Item* ip_user)
{
    if (QTreeWidgetItem* row = Row(kListNode, ip_user))
        row->setText(1, QString());
}

void UserListForm::OnUserAddedToList(Item* ip_user)
{
    if (!AddRow(mp_ui->userList, kListNode, ip_user))
        return;
    if (ItemPtr(ip_user).IsConnected("is_online"))
        OnUserOnline(ip_user);
    if (gp_server)
        gp_server->TrackUser(ip_user->AsString());
    UpdateUserGroupsDisplay(ip_user->AsString());
}

void UserListForm::OnUserRemovedFromList(Item* ip_user)
{
    RemoveRow(kListNode, ip_user);
}

void UserListForm::OnUserGroupAdded(Item* ip_user)
{
    UpdateUserGroupsDisplay(ip_user->AsString());
}

void UserListForm::OnUserGroupRemoved(Item* ip_user)
{
    UpdateUserGroupsDisplay(ip_user->AsString());
}

void UserListForm::OnUserUnshared(Item* ip_user)
{
    AddRow(mp_ui->unsharedList, kUnsharedNode, ip_user);
}

void UserListForm::OnUserReshared(Item* ip_user)
{
    RemoveRow(kUnsharedNode, ip_user);
}

void UserListForm::OnUserIgnored(Item* ip_user)
{
    AddRow(mp_ui->ignoredList, kIgnoredNode, ip_user);
}

void UserListForm::OnUserUnignored(Item* ip_user)
{
    RemoveRow(kIgnoredNode, ip_user);
}

void UserListForm::UpdateUserGroupsDisplay(std::string i_user)
{
    const ItemPtr user = GetItem("user", i_user);
    QTreeWidgetItem* row = Row(kListNode, user);
    if (!row)
        return;
    // By bytes: every upper-case letter before every lower-case one.
    QStringList names;
    for (Item* group : user["in_user_list"].GetItems("user_list_group").SortAlphabetic(true))
        names << FromName(group->AsString());
    row->setText(2, names.join(QStringLiteral(", ")));
}

void UserListForm::OnActionBarTriggered(std::string i_action)
{
    if (i_action == "configure_user_groups")
    {
        if (userGroupConfigDialog)
        {
            userGroupConfigDialog->raise();
            userGroupConfigDialog->activateWindow();
            userGroupConfigDialog->setFocus(Qt::OtherFocusReason);
            return;
        }
        auto* dialog = new UserGroupConfigDialog(this);
        dialog->setVisible(true);
    }
    else if (i_action == "manual_add_user")
    {
        auto* dialog = new AddUserDialog(this);
        dialog->setVisible(true);
    }
}

void UserListForm::ShowUserMenu(QTreeWidget* ip_tree, QPoint i_point)
{
    PopupUserMenu(ip_tree, i_point, [](QTreeWidgetItem* ip_row) { return NameOfCell(ip_row, 0); });
}

void UserListForm::OnUserListContextMenuRequested(QPoint i_point)
{
    ShowUserMenu(mp_ui->userList, i_point);
}

void UserListForm::OnUnsharedListContextMenuRequested(QPoint i_point)
{
    ShowUserMenu(mp_ui->unsharedList, i_point);
}

void UserListForm::OnIgnoredListContextMenuRequested(QPoint i_point)
{
    ShowUserMenu(mp_ui->ignoredList, i_point);
}
