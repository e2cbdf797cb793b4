// The user's own list in the real window, logged in at the scripted server:
// the user menu, the three lists of the "Users" tab, the groups dialogs and
// the add-user dialog, each writing the store and kept in the state file.

#include "app/AppTestSupport.h"
#include "views/widgets/WidgetTestSupport.h"
#include "common/TestServer.h"

#include "ActionSetToolBar.h"
#include "AddUserDialog.h"
#include "ChatForm.h"
#include "Data.h"
#include "StoreLookup.h"
#include "TransferQueueManager.h"
#include "GeneralFunctions.h"
#include "TextConversion.h"
#include "UserGroupConfigDialog.h"
#include "UserGroupsDialog.h"
#include "UserListForm.h"
#include "UserMenuOptions.h"
#include "ProtocolCodes.h"
#include "mainwindow.h"
#include "server.h"

#include <QAction>
#include <QApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace
{

// The entries of a menu, a separator as "-".
QStringList Entries(QMenu* ip_menu)
{
    QStringList out;
    for (QAction* action : ip_menu->actions())
        out << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return out;
}

QAction* Entry(QMenu* ip_menu, const QString& i_text)
{
    for (QAction* action : ip_menu->actions())
        if (action->text() == i_text)
            return action;
    return nullptr;
}

ItemPtr User(const std::string& i_name)
{
    return GetItem("user", i_name);
}

// Makes a fresh menu for the user and chooses the entry, as a click would.
bool Choose(const std::string& i_user, const QString& i_text)
{
    QMenu menu;
    UserMenuOptions options(&menu, i_user);
    QAction* action = Entry(&menu, i_text);
    if (!action)
        return false;
    action->trigger();
    return true;
}

QStringList Rows(QListWidget* ip_list)
{
    QStringList out;
    for (int k = 0; k < ip_list->count(); ++k)
        out << ip_list->item(k)->text() + (ip_list->item(k)->checkState() == Qt::Checked ? "*" : "");
    return out;
}

// A named widget of a view's form.
template <class W>
W* Child(QObject* ip_view, const char* ip_name)
{
    return ip_view->findChild<W*>(QString::fromLatin1(ip_name));
}

template <class T>
QList<T*> Open()
{
    QList<T*> out;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<T*>(widget); dialog && dialog->isVisible())
            out << dialog;
    return out;
}
}

class UserListTest : public QObject, public WindowTest
{
    Q_OBJECT

private:
    QTreeWidget* Tree(const char* ip_name) const { return Child<QTreeWidget>(mp_window->Form()->userListForm, ip_name); }

    QTreeWidgetItem* ListRow(QTreeWidget* ip_tree, const QString& i_user) const
    {
        const auto rows = ip_tree->findItems(i_user, Qt::MatchExactly, 0);
        return rows.size() == 1 ? rows.first() : nullptr;
    }

    // Ends the window, which saves the state file, and starts a new one on it.
    void Restart()
    {
        StopWindow();
        StartWindow();
        WaitLoggedIn();
    }

    QStringList Added() 
    {
        QStringList names;
        for (const QJsonValue& message : m_server.Received("bob", SM_ADD_USER))
            names << message.toObject().value("fields").toObject().value("user").toString();
        return names;
    }

    bool SendAddUserReply(const QString& i_user, int i_status)
    {
        return m_server.Send("bob", SM_ADD_USER,
                             {Field("latin1", i_user), Field("byte", 1), Field("u32", i_status), Field("i32", 0),
                              Field("i64", 0), Field("i32", 0), Field("i32", 0), Field("latin1", "")});
    }

    bool SendStatus(const QString& i_user, int i_status)
    {
        return m_server.Send("bob", SM_USER_STATUS, {Field("latin1", i_user), Field("u32", i_status), Field("byte", 0)});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Start({"--accounts", "bob:pw2"}));
        QVERIFY(m_server.Set("stats", QJsonObject{{"user", "erin"}}));
        QVERIFY(m_server.Set("stats", QJsonObject{{"user", "gina"}}));
        // The server's names are 8-bit: UTF-8 bytes, one character each.
        QVERIFY(m_server.Set("stats", QJsonObject{{"user", QString::fromLatin1("j\xc3\xbcrgen")}}));
    }

    void init() { StartFresh(); }

    void cleanup() { StopAndClean(); }

    void menuEntriesFollowTheStore()
    {
        const std::string carol = "carol";
        User(carol).NewItem("in_user_list");
        {
            QMenu menu;
            UserMenuOptions options(&menu, carol);
            QCOMPARE(Entries(&menu), QStringList({"Message user", "Set user's groups", "Remove user from list",
                                                  "Browse user's files", "-", "Unshare files from user",
                                                  "Ignore chat from user"}));
        }
        const std::string dave = "dave";
        User(dave).NewItem("unshared");
        User(dave).NewItem("is_ignored");
        {
            // A view's own entry first: then a separator before the user's.
            QMenu menu;
            menu.addAction("Own entry");
            UserMenuOptions options(&menu, dave);
            QCOMPARE(Entries(&menu), QStringList({"Own entry", "-", "Message user", "Add user to list",
                                                  "Browse user's files", "-", "Re-share files with user",
                                                  "Receive chat from user"}));
        }

        // Each entry writes its flag, and the next menu shows it.
        QVERIFY(Choose(carol, "Ignore chat from user"));
        QVERIFY(User(carol).IsConnected("is_ignored"));
        QVERIFY(Choose(carol, "Receive chat from user"));
        QVERIFY(!User(carol).IsConnected("is_ignored"));
        QVERIFY(Choose(carol, "Ignore chat from user"));
        QVERIFY(Choose(carol, "Unshare files from user"));
        QVERIFY(User(carol).IsConnected("unshared"));
        QVERIFY(ListRow(Tree("unsharedList"), "carol"));
        QVERIFY(Choose(carol, "Re-share files with user"));
        QVERIFY(!User(carol).IsConnected("unshared"));
        QVERIFY(!ListRow(Tree("unsharedList"), "carol"));

        // Removing takes the entry itself, groups and all.
        const ItemPtr group = GetItem("user_list_group", "friends");
        User(carol)["in_user_list"] += group;
        const size_t entries = T("in_user_list")->ItemCount();
        QVERIFY(Choose(carol, "Remove user from list"));
        QVERIFY(!User(carol).IsConnected("in_user_list"));
        QCOMPARE(T("in_user_list")->ItemCount(), entries - 1);
        QVERIFY(group.GetItems("in_user_list").empty());

        // Adding lists the user and opens the groups dialog for the name.
        QVERIFY(Choose(dave, "Add user to list"));
        QVERIFY(User(dave).IsConnected("in_user_list"));
        QCOMPARE(Open<UserGroupsDialog>().size(), 1);
        QCOMPARE(Open<UserGroupsDialog>().first()->windowTitle(), QString("User Groups for [dave]"));
        QVERIFY(Choose(dave, "Set user's groups"));
        QCOMPARE(Open<UserGroupsDialog>().size(), 2);
        // A closed one goes, with its store handler.
        QList<QPointer<UserGroupsDialog>> dialogs;
        for (UserGroupsDialog* dialog : Open<UserGroupsDialog>())
            dialogs << dialog;
        for (UserGroupsDialog* dialog : Open<UserGroupsDialog>())
            dialog->close();
        DeleteDeferred();
        QVERIFY(!dialogs.at(0) && !dialogs.at(1));
        GetItem("user_list_group", "later");

        // A name above 127 arrives byte for byte.
        const std::string accented = "m\xfcller\xff";
        QVERIFY(Choose(accented, "Ignore chat from user"));
        QVERIFY(FindItem("user", accented).IsConnected("is_ignored"));
        QVERIFY(ListRow(Tree("ignoredList"), QString::fromLatin1("m\xfcller\xff")));

        // Message user opens the private chat tab.
        QVERIFY(Choose(accented, "Message user"));
        auto* tab = qobject_cast<ChatForm*>(mp_window->Form()->chatTabControl->currentWidget());
        QVERIFY(tab);
        QCOMPARE(tab->User(), accented);
    }

    void menuOnRowsOnly()
    {
        User("carol").NewItem("in_user_list");
        QTreeWidget* list = Tree("userList");
        const auto nameOf = [](QTreeWidgetItem* ip_row) { return ToLatin1(ip_row->text(0)); };
        QVERIFY(!PopupUserMenu(list, QPoint(5, list->viewport()->height() - 2), nameOf));
        QPointer<QMenu> menu = PopupUserMenu(list, list->visualItemRect(ListRow(list, "carol")).center(), nameOf);
        QVERIFY(menu);
        QCOMPARE(Entries(menu).value(2), QString("Remove user from list"));
        menu->hide();
        DeleteDeferred();
        QVERIFY(!menu);

        // A room view that goes while its menu is open leaves the menu
        // working.
        QVERIFY(m_server.Send("bob", SM_ENTER_ROOM,
                              {Field("latin1", "lobby"), Field("u32", 1), Field("latin1", "carol"), Field("u32", 2),
                               Field("i32", 0), Field("i64", 0), Field("i32", 0), Field("i32", 0),
                               Field("latin1", "")}));
        QTabWidget* rooms = mp_window->Form()->roomsTabControl;
        QTRY_COMPARE(rooms->count(), 1);
        QPointer<QWidget> room = rooms->widget(0);
        QTreeWidget* members = Child<QTreeWidget>(room, "userList");
        QTRY_COMPARE(members->topLevelItemCount(), 1);
        emit members->customContextMenuRequested(members->visualItemRect(members->topLevelItem(0)).center());
        menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        QVERIFY(Entry(menu, "Ignore chat from user"));
        QVERIFY(m_server.Send("bob", SM_LEAVE_ROOM, {Field("latin1", "lobby")}));
        QTRY_VERIFY(!room);
        Entry(menu, "Ignore chat from user")->trigger();
        QVERIFY(User("carol").IsConnected("is_ignored"));
        menu->hide();
        DeleteDeferred();
        QVERIFY(!menu);
    }

    void downloadListMenu()
    {
        // The download list's own entries come first, then a separator and
        // the user's.
        transferQueueManager->AddDownload("carol", "song.mp3", "music", 100, 0);
        QTreeWidget* downloads = Child<QTreeWidget>(mp_window->Form()->transfersForm, "downloadsList");
        FocusWidgetAndParents(downloads);
        QTRY_VERIFY(downloads->isVisible() && downloads->topLevelItemCount() == 1);
        emit downloads->customContextMenuRequested(downloads->visualItemRect(downloads->topLevelItem(0)).center());
        QPointer<QMenu> menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        const QStringList entries = Entries(menu);
        const int user = entries.indexOf("Message user");
        QVERIFY2(user > 1 && entries.at(user - 1) == "-" && entries.contains("Remove download"),
                 qPrintable(entries.join('|')));
        Entry(menu, "Add user to list")->trigger();
        QVERIFY(User("carol").IsConnected("in_user_list"));
        menu->hide();
        DeleteDeferred();
        QVERIFY(!menu);
    }

    void listFromTheStateFile()
    {
        // carol on the list, unshared and ignored at once, in three groups.
        const ItemPtr carol = User("carol");
        const ItemPtr entry = carol.NewItem("in_user_list");
        for (const char* name : {"beta", "Alpha", "alpha"})
            entry += GetItem("user_list_group", name);
        carol.NewItem("unshared");
        carol.NewItem("is_ignored");
        User("dave").NewItem("in_user_list");
        Restart();

        QCOMPARE(Column(Tree("userList"), 0), QStringList({"carol", "dave"}));
        QCOMPARE(ListRow(Tree("userList"), "carol")->text(2), QString("Alpha, alpha, beta"));
        QCOMPARE(ListRow(Tree("userList"), "dave")->text(2), QString());
        QCOMPARE(Column(Tree("unsharedList"), 0), QStringList({"carol"}));
        QCOMPARE(Column(Tree("ignoredList"), 0), QStringList({"carol"}));
        // Every listed user is asked about after the login.
        QTRY_VERIFY(Added().contains("carol") && Added().contains("dave"));

        // Each flag on its own takes its row and node item.
        User("carol").Disconnect("is_ignored");
        QCOMPARE(Tree("ignoredList")->topLevelItemCount(), 0);
        QVERIFY(!User("carol").IsConnected("ignored_list_node"));
        QVERIFY(ListRow(Tree("unsharedList"), "carol"));
        User("carol").Disconnect("unshared");
        QCOMPARE(Tree("unsharedList")->topLevelItemCount(), 0);
        QCOMPARE(Tree("userList")->topLevelItemCount(), 2);
        User("carol").NewItem("is_ignored");
        QCOMPARE(Column(Tree("ignoredList"), 0), QStringList({"carol"}));

        // A group leaving the entry leaves the column.
        User("carol")["in_user_list"] -= FindItem("user_list_group", "alpha");
        QCOMPARE(ListRow(Tree("userList"), "carol")->text(2), QString("Alpha, beta"));

        // A new user takes its sorted place; a removed one leaves no entry
        // in the saved file.
        User("bert").NewItem("in_user_list");
        QCOMPARE(Column(Tree("userList"), 0), QStringList({"bert", "carol", "dave"}));
        QVERIFY(Choose("dave", "Remove user from list"));
        QCOMPARE(Column(Tree("userList"), 0), QStringList({"bert", "carol"}));
        QVERIFY(!User("dave").IsConnected("user_list_node"));
        StopWindow();
        const QStringList dump = StateToolDump(StatePath());
        QVERIFY(!dump.isEmpty());
        QVERIFY(dump.filter("carol").size() > 0);
        QVERIFY2(dump.filter("dave").isEmpty(), qPrintable(dump.join('\n')));
        StartWindow();
        WaitLoggedIn();
    }

    void onlineFollowsTheServer()
    {
        User("carol").NewItem("in_user_list");
        QTreeWidgetItem* row = ListRow(Tree("userList"), "carol");
        QVERIFY(row);
        QCOMPARE(row->text(1), QString());
        QTRY_VERIFY(Added().contains("carol"));

        QVERIFY(SendAddUserReply("carol", 2));
        QTRY_COMPARE(row->text(1), QString("Online"));
        QVERIFY(SendStatus("carol", 0));
        QTRY_COMPARE(row->text(1), QString());
        QVERIFY(SendStatus("carol", 2));
        QTRY_COMPARE(row->text(1), QString("Online"));

        // Users not on the list change nothing.
        QVERIFY(SendStatus("frank", 2));
        QTRY_VERIFY(User("frank").IsConnected("is_online"));
        QCOMPARE(Tree("userList")->topLevelItemCount(), 1);

        // Listed while online: "Online" at once.
        User("frank").NewItem("in_user_list");
        QCOMPARE(ListRow(Tree("userList"), "frank")->text(1), QString("Online"));

        // A lost connection clears it.
        QVERIFY(m_server.Drop("bob"));
        QTRY_COMPARE(row->text(1), QString());
        QCOMPARE(ListRow(Tree("userList"), "frank")->text(1), QString());
    }

    void groupsDialogs()
    {
        User("carol").NewItem("in_user_list");
        User("dave").NewItem("in_user_list");
        GetItem("user_list_group", "beta");
        auto* carolDialog = new UserGroupsDialog("carol", mp_window.get());
        carolDialog->show();
        auto* daveDialog = new UserGroupsDialog("dave", mp_window.get());
        daveDialog->show();
        QListWidget* carolList = Child<QListWidget>(carolDialog, "groupListWidget");
        QCOMPARE(Rows(carolList), QStringList({"beta"}));

        // A tick writes at once; the groups column follows.
        carolList->item(0)->setCheckState(Qt::Checked);
        QVERIFY(User("carol")["in_user_list"].IsConnected(FindItem("user_list_group", "beta")));
        QCOMPARE(ListRow(Tree("userList"), "carol")->text(2), QString("beta"));

        // A new group, trimmed, reaches every open dialog unticked and in
        // its sorted place, the configuration dialog too.
        emit actionBar->ActionTriggered("configure_user_groups");
        QVERIFY(userGroupConfigDialog);
        UserGroupConfigDialog* config = userGroupConfigDialog;
        Child<QLineEdit>(daveDialog, "newGroupEdit")->setText("  Alpha ");
        Child<QPushButton>(daveDialog, "newGroupButton")->click();
        QCOMPARE(Child<QLineEdit>(daveDialog, "newGroupEdit")->text(), QString());
        QCOMPARE(Rows(carolList), QStringList({"Alpha", "beta*"}));
        QCOMPARE(Rows(Child<QListWidget>(daveDialog, "groupListWidget")), QStringList({"Alpha", "beta"}));
        QCOMPARE(Rows(Child<QListWidget>(config, "groupList")), QStringList({"Alpha", "beta"}));
        QVERIFY(!User("dave")["in_user_list"].IsConnected("user_list_group"));
        // A duplicate adds nothing.
        Child<QLineEdit>(carolDialog, "newGroupEdit")->setText("beta ");
        Child<QPushButton>(carolDialog, "newGroupButton")->click();
        QCOMPARE(Rows(carolList), QStringList({"Alpha", "beta*"}));
        QCOMPARE(T("user_list_group")->ItemCount(), size_t(2));
        carolList->item(1)->setCheckState(Qt::Unchecked);
        QCOMPARE(ListRow(Tree("userList"), "carol")->text(2), QString());

        // One configuration dialog at a time.
        emit actionBar->ActionTriggered("configure_user_groups");
        QCOMPARE(userGroupConfigDialog, config);
        QCOMPARE(Open<UserGroupConfigDialog>().size(), 1);

        // Priorities: 5 on both groups is one item; 0 is none; switching
        // groups writes nothing across.
        QListWidget* groups = Child<QListWidget>(config, "groupList");
        QSpinBox* spin = Child<QSpinBox>(config, "prioritySpinBox");
        QVERIFY(!spin->isEnabled());
        groups->setCurrentRow(0);
        QVERIFY(spin->isEnabled());
        QCOMPARE(spin->value(), 0);
        spin->setValue(5);
        const ItemPtr alpha = FindItem("user_list_group", "Alpha");
        const ItemPtr beta = FindItem("user_list_group", "beta");
        QCOMPARE(alpha["group_download_priority"].AsString(), std::string("5"));
        groups->setCurrentRow(1);
        QCOMPARE(spin->value(), 0);
        QVERIFY(!beta.IsConnected("group_download_priority"));
        spin->setValue(5);
        QCOMPARE(beta["group_download_priority"], alpha["group_download_priority"]);
        spin->setValue(7);
        groups->setCurrentRow(0);
        QCOMPARE(spin->value(), 5);
        QCOMPARE(beta["group_download_priority"].AsString(), std::string("7"));
        spin->setValue(0);
        QVERIFY(!alpha.IsConnected("group_download_priority"));
        groups->setCurrentRow(1);
        QCOMPARE(spin->value(), 7);

        // The allocator may place the next dialog where this one was, so
        // the old one is told apart by a mark rather than by its address.
        config->setProperty("closedOnce", true);
        config->close();
        DeleteDeferred();
        QVERIFY(!userGroupConfigDialog);
        emit actionBar->ActionTriggered("configure_user_groups");
        QVERIFY(userGroupConfigDialog && !userGroupConfigDialog->property("closedOnce").isValid());

        // The priority survives a save and a reload.
        Restart();
        QCOMPARE(FindItem("user_list_group", "beta")["group_download_priority"].AsString(), std::string("7"));
        QVERIFY(!FindItem("user_list_group", "Alpha").IsConnected("group_download_priority"));
    }

    void addUserDialog()
    {
        User("carol").NewItem("in_user_list");
        emit actionBar->ActionTriggered("manual_add_user");
        emit actionBar->ActionTriggered("manual_add_user");
        QCOMPARE(Open<AddUserDialog>().size(), 2);
        AddUserDialog* first = Open<AddUserDialog>().at(0);
        AddUserDialog* second = Open<AddUserDialog>().at(1);
        auto tryName = [&](AddUserDialog* ip_dialog, const QString& i_name) {
            Child<QLineEdit>(ip_dialog, "userNameEdit")->setText(i_name);
            Child<QPushButton>(ip_dialog, "addFriendButton")->click();
            return Child<QLineEdit>(ip_dialog, "statusEdit")->text();
        };

        QCOMPARE(tryName(first, "   "), QString("User name must not be empty."));
        QCOMPARE(tryName(first, " carol "), QString("User already in list."));

        // Waiting: the trimmed name goes out; another name's answer changes
        // nothing.
        QCOMPARE(tryName(first, "  erin "), QString("Adding user..."));
        QVERIFY(Child<QLineEdit>(first, "userNameEdit")->isReadOnly());
        QVERIFY(!Child<QPushButton>(first, "addFriendButton")->isEnabled());
        emit gp_server->AddUserResponse("erinn", true);
        QVERIFY(!Child<QPushButton>(first, "addFriendButton")->isEnabled());
        QTRY_COMPARE(Child<QLineEdit>(first, "statusEdit")->text(), QString("User added to list."));
        QVERIFY(!Child<QLineEdit>(first, "userNameEdit")->isReadOnly());
        QVERIFY(Child<QPushButton>(first, "addFriendButton")->isEnabled());
        QVERIFY(Added().contains("erin"));
        QVERIFY(User("erin").IsConnected("in_user_list"));
        QVERIFY(ListRow(Tree("userList"), "erin"));

        QCOMPARE(tryName(first, "nobody"), QString("Adding user..."));
        QTRY_COMPARE(Child<QLineEdit>(first, "statusEdit")->text(), QString("User name does not exist."));
        QVERIFY(!FindItem("user", "nobody").IsConnected("in_user_list"));

        // A typed name goes out as UTF-8.
        QCOMPARE(tryName(first, QString::fromUtf8("j\xc3\xbcrgen")), QString("Adding user..."));
        QTRY_COMPARE(Child<QLineEdit>(first, "statusEdit")->text(), QString("User added to list."));
        QVERIFY(FindItem("user", "j\xc3\xbcrgen").IsConnected("in_user_list"));

        // Two dialogs on one name: both done, one entry.
        tryName(first, "gina");
        QCOMPARE(tryName(second, "gina"), QString("Adding user..."));
        QTRY_COMPARE(Child<QLineEdit>(first, "statusEdit")->text(), QString("User added to list."));
        QTRY_COMPARE(Child<QLineEdit>(second, "statusEdit")->text(), QString("User added to list."));
        QCOMPARE(User("gina").GetItems("in_user_list").size(), size_t(1));

        // A lost connection frees a waiting dialog; offline comes before
        // "already in list".
        QCOMPARE(tryName(first, "hank"), QString("Adding user..."));
        gp_server->Disconnect();
        QTRY_VERIFY(Child<QPushButton>(first, "addFriendButton")->isEnabled());
        QCOMPARE(Child<QLineEdit>(first, "statusEdit")->text(), QString("Must be online to add a user to your list."));
        QCOMPARE(tryName(first, "carol"), QString("Must be online to add a user to your list."));

        first->close();
        DeleteDeferred();
        QCOMPARE(Open<AddUserDialog>().size(), 1);
    }
};

QTEST_MAIN(UserListTest)
#include "test_user_list.moc"
