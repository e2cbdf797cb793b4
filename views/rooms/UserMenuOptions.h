#pragma once
// The actions on one user that every view offering users puts into its
// context menu: message, list membership and groups, browsing, sharing and
// ignoring. Which entries appear depends on the user's flags in the store
// when the menu is built; each action carries the user's name as its data,
// so one options object serves every action of the menu.

#include <QObject>

#include <functional>
#include <string>

class QMenu;
class QPoint;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

class UserMenuOptions : public QObject
{
    Q_OBJECT

public:
    UserMenuOptions(QMenu* ip_menu, std::string i_user, QObject* ip_parent = nullptr);

    // The name an action of such a menu carries, byte for byte.
    static std::string UserOf(const QObject* ip_action);

public slots:
    void OnMessageUser();
    void OnSetUserGroups();
    void OnAddUser();
    void OnRemoveUser();
    void OnBrowseUser();
    void OnUserLog();
    void OnUnshareFilesFromUser();
    void OnReshareFilesWithUser();
    void OnIgnoreUser();
    void OnUnignoreUser();

private:
    std::string SenderUser() const;
};

// The window above the views (the main window) hands the menu what it needs
// of it at start-up: where private chats open, and the parent of the dialogs
// the menu opens. Both stay null without a window.
extern void (*gp_openChatForm)(const std::string& i_user);
extern QWidget* gp_userMenuWindow;

// A view's context-menu request on a tree: takes the row at the viewport
// point (nothing on empty space) and its user from i_nameOf (an empty name
// opens nothing), builds a parentless menu, lets i_addOwn add the view's own
// entries first, fills in the user entries and pops the menu up at the
// point. The menu runs without a nested event loop and deletes itself and
// its options when it closes, so the view may go meanwhile. Returns the menu,
// or null when none opened.
QMenu* PopupUserMenu(QTreeWidget* ip_tree, const QPoint& i_point,
                     const std::function<std::string(QTreeWidgetItem*)>& i_nameOf,
                     const std::function<void(QMenu*)>& i_addOwn = nullptr);
