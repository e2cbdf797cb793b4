#include "UserMenuOptions.h"

#include "ItemLogDialog.h"
#include "SharesForm.h"
#include "StoreLookup.h"
#include "TransferQueueManager.h"
#include "UserGroupsDialog.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QTreeWidget>

void (*gp_openChatForm)(const std::string& i_user) = nullptr;
QWidget* gp_userMenuWindow = nullptr;

namespace
{
// A user's `user` item, made when missing (menus are opened on names the
// views show, which the store may not hold yet).
ItemPtr UserItem(const std::string& i_user)
{
    return GetItem("user", i_user);
}

void OpenGroupsDialog(const std::string& i_user)
{
    auto* dialog = new UserGroupsDialog(i_user, gp_userMenuWindow);
    dialog->setVisible(true);
}
}

UserMenuOptions::UserMenuOptions(QMenu* ip_menu, std::string i_user, QObject* ip_parent) : QObject(ip_parent)
{
    // The name rides as its bytes: a shown text need not lead back to them.
    const QVariant data(QByteArray::fromStdString(i_user));
    auto add = [&](const char* ip_text, const char* ip_icon, void (UserMenuOptions::*i_slot)()) {
        QAction* action = ip_menu->addAction(QIcon(QString::fromLatin1(ip_icon)), QString::fromLatin1(ip_text));
        action->setData(data);
        connect(action, &QAction::triggered, this, i_slot);
    };

    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();

    const ItemPtr user = FindItem("user", i_user);
    add("Message user", ":/icons/chat_icon", &UserMenuOptions::OnMessageUser);
    if (user.IsConnected("in_user_list"))
    {
        add("Set user's groups", ":/icons/users_icon", &UserMenuOptions::OnSetUserGroups);
        add("Remove user from list", ":/icons/remove_user_icon", &UserMenuOptions::OnRemoveUser);
    }
    else
        add("Add user to list", ":/icons/add_user_icon", &UserMenuOptions::OnAddUser);
    add("Browse user's files", ":/icons/browse_icon", &UserMenuOptions::OnBrowseUser);
    ip_menu->addSeparator();
    if (user.IsConnected("unshared"))
        add("Re-share files with user", ":/icons/browse_icon", &UserMenuOptions::OnReshareFilesWithUser);
    else
        add("Unshare files from user", ":/icons/browse_icon", &UserMenuOptions::OnUnshareFilesFromUser);
    if (user.IsConnected("is_ignored"))
        add("Receive chat from user", ":/icons/chat_icon", &UserMenuOptions::OnUnignoreUser);
    else
        add("Ignore chat from user", ":/icons/chat_icon", &UserMenuOptions::OnIgnoreUser);
}

std::string UserMenuOptions::UserOf(const QObject* ip_action)
{
    auto* action = qobject_cast<const QAction*>(ip_action);
    return action ? action->data().toByteArray().toStdString() : std::string();
}

std::string UserMenuOptions::SenderUser() const
{
    return UserOf(sender());
}

void UserMenuOptions::OnMessageUser()
{
    if (gp_openChatForm)
        gp_openChatForm(SenderUser());
}

void UserMenuOptions::OnSetUserGroups()
{
    OpenGroupsDialog(SenderUser());
}

void UserMenuOptions::OnAddUser()
{
    const std::string name = SenderUser();
    UserItem(name).NewItem("in_user_list");
    OpenGroupsDialog(name);
}

void UserMenuOptions::OnRemoveUser()
{
    // The entry itself goes: left behind, one that still holds groups stays
    // reachable through them and would be saved for ever.
    UserItem(SenderUser())["in_user_list"].Remove();
}

void UserMenuOptions::OnBrowseUser()
{
    if (sharesForm)
        sharesForm->OpenShareBrowse(SenderUser());
}

void UserMenuOptions::OnUserLog()
{
    auto* dialog = new ItemLogDialog(UserItem(SenderUser()), nullptr);
    dialog->setVisible(true);
}

void UserMenuOptions::OnUnshareFilesFromUser()
{
    if (transferQueueManager)
        transferQueueManager->UnshareUser(SenderUser());
}

void UserMenuOptions::OnReshareFilesWithUser()
{
    if (transferQueueManager)
        transferQueueManager->ReshareUser(SenderUser());
}

void UserMenuOptions::OnIgnoreUser()
{
    const ItemPtr user = UserItem(SenderUser());
    if (user)
        user.NewItem("is_ignored");
}

void UserMenuOptions::OnUnignoreUser()
{
    UserItem(SenderUser()).Disconnect("is_ignored");
}

QMenu* PopupUserMenu(QTreeWidget* ip_tree, const QPoint& i_point,
                     const std::function<std::string(QTreeWidgetItem*)>& i_nameOf,
                     const std::function<void(QMenu*)>& i_addOwn)
{
    QTreeWidgetItem* row = ip_tree->itemAt(i_point);
    if (!row)
        return nullptr;
    const std::string user = i_nameOf(row);
    if (user.empty())
        return nullptr;

    auto* menu = new QMenu;
    // popup() rather than exec(): a nested loop could return into a view
    // that deleted itself meanwhile (a room left while the menu was open).
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
    if (i_addOwn)
        i_addOwn(menu);
    new UserMenuOptions(menu, user, menu);
    menu->popup(ip_tree->viewport()->mapToGlobal(i_point));
    return menu;
}
