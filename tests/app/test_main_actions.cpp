// The main window's toolbar actions against the scripted server, the
// folders they change, the boxes of a failed login, the tray click, and the
// clean-up of saves a killed process left unfinished.

#include "app/AppTestSupport.h"
#include "views/widgets/WidgetTestSupport.h"
#include "common/TestServer.h"

#include "ActionSetToolBar.h"
#include "AddSharedFolderDialog.h"
#include "ChangeListeningPortDialog.h"
#include "ChangeUsernamePasswordDialog.h"
#include "ChatForm.h"
#include "Data.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "ProtocolCodes.h"
#include "mainwindow.h"
#include "SharedFilesRescannedDialog.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "TabWidget.h"
#include "server.h"

#include <QDir>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <QtTest>

namespace
{

QAction* ShownAction(const QString& i_text)
{
    for (QAction* action : actionBar->actions())
        if (action->text() == i_text)
            return action;
    return nullptr;
}

QStringList Codes(const QJsonArray& i_messages)
{
    QStringList codes;
    for (const QJsonValue& v : i_messages)
        codes << QString::number(v.toObject().value("code").toInt());
    return codes;
}

// A stand-in for a view that binds its own widget to a set with a fixed key,
// as the room views do.
struct BoundWidget
{
    QWidget window;
    QLineEdit* edit = new QLineEdit(&window);

    BoundWidget(const QString& i_set, const QString& i_key, const QString& i_value)
    {
        new QVBoxLayout(&window);
        window.layout()->addWidget(edit);
        actionBar->RegisterWidget(&window, i_set);
        if (!i_key.isEmpty())
            actionBar->AddWidgetKey(&window, i_key, i_value);
    }

    bool Focus()
    {
        if (!ShowActive(&window))
            return false;
        edit->setFocus(Qt::OtherFocusReason);
        return QApplication::focusWidget() == edit;
    }
};
}

class MainActionsTest : public QObject, public WindowTest
{
    Q_OBJECT

private:
    void Trigger(const char* ip_action) { mp_window->OnToolBarActionTriggered(ip_action); }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(StateToolPath()).isExecutable());
        QVERIFY(m_server.Start({"--accounts", "bob:pw2", "--refuse-new-users", "--rooms", "jazz,Caf\u00e9"}));
    }

    void init()
    {
        RemoveStateFiles();
        d->Reset();
    }

    void cleanup()
    {
        StopWindow();
        RemoveStateFiles();
        m_server.Set("refuse_logins", QJsonValue());
    }

    void roomListActionsReachTheServer()
    {
        StartLoggedIn();
        QVERIFY(ShowActive(mp_window.get()));
        Ui()->tabControl->setCurrentWidget(Ui()->roomsTab);
        Ui()->roomList->setFocus(Qt::OtherFocusReason);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Ui()->roomList));
        QVERIFY(ShownAction("Create Room"));

        const int roomLists = m_server.Received("bob", SM_ROOM_LIST).size();
        const int enters = m_server.Received("bob", SM_ENTER_ROOM).size();
        const int leaves = m_server.Received("bob", SM_LEAVE_ROOM).size();
        ShownAction("Refresh Room List")->trigger();
        QVERIFY(m_server.WaitFor("bob", SM_ROOM_LIST, roomLists + 1, 10000));
        QTRY_COMPARE_WITH_TIMEOUT(Ui()->roomList->topLevelItemCount(), 2, 10000);

        // The selected row names the room, in the server's 8-bit text.
        const QList<QTreeWidgetItem*> cafe = Ui()->roomList->findItems("Caf\u00e9", Qt::MatchExactly, 0);
        QCOMPARE(cafe.size(), 1);
        Ui()->roomList->setCurrentItem(cafe.first());
        ShownAction("Enter Room")->trigger();
        QVERIFY(m_server.WaitFor("bob", SM_ENTER_ROOM, enters + 1, 10000));
        QCOMPARE(m_server.Received("bob", SM_ENTER_ROOM).last().toObject()["fields"].toObject()["room"].toString(),
                 QString("Caf\u00e9"));
        QTRY_VERIFY_WITH_TIMEOUT(ItemPtr(T("room")->HasItem("Caf\xe9")).IsConnected("in_room"), 10000);

        // The key keeps the room the row gave it.
        Trigger("leave_room");
        QVERIFY(m_server.WaitFor("bob", SM_LEAVE_ROOM, leaves + 1, 10000));
        QCOMPARE(m_server.Received("bob", SM_LEAVE_ROOM).last().toObject()["fields"].toObject()["room"].toString(),
                 QString("Caf\u00e9"));
        QTRY_VERIFY_WITH_TIMEOUT(!ItemPtr(T("room")->HasItem("Caf\xe9")).IsConnected("in_room"), 10000);
    }

    void contextKeysOfBoundViews()
    {
        StartLoggedIn();
        {
            BoundWidget room("room", "room", "jazz");
            QVERIFY(room.Focus());
            QAction* toggle = ShownAction("Toggle Room Autojoin");
            QVERIFY(toggle);
            toggle->trigger();
            QVERIFY(ItemPtr(T("room")->HasItem("jazz")).IsConnected("room_autojoin"));
            toggle->trigger();
            QVERIFY(!ItemPtr(T("room")->HasItem("jazz")).IsConnected("room_autojoin"));
        }

        BoundWidget user("user", "user", "carol");
        QVERIFY(user.Focus());
        // No tree on the focus path: the user actions need no row.
        ShownAction("Add User")->trigger();
        QVERIFY(ItemPtr(T("user")->HasItem("carol")).IsConnected("in_user_list"));
        ItemPtr(T("user_list_group")->GetItem("friends")) += ItemPtr(T("user")->HasItem("carol"))["in_user_list"];
        // A second add keeps the entry and its groups.
        ShownAction("Add User")->trigger();
        QVERIFY(ItemPtr(T("user")->HasItem("carol"))["in_user_list"].IsConnected("user_list_group"));

        ShownAction("Message User")->trigger();
        auto* chat = qobject_cast<ChatForm*>(Ui()->chatTabControl->currentWidget());
        QVERIFY(chat);
        QCOMPARE(chat->User(), std::string("carol"));
        QCOMPARE(Ui()->tabControl->currentWidget(), static_cast<QWidget*>(Ui()->chatTab));
        QCOMPARE(Ui()->chatTabControl->count(), 1);
        // The same user again: the same tab.
        Trigger("message_user");
        QCOMPARE(Ui()->chatTabControl->count(), 1);

        // Browsing opens the user's browse tab, where his share list is kept; once.
        TabWidget* browseTabs = Ui()->sharesForm->TabControl();
        const int tabs = browseTabs->count();
        ShownAction("Browse User's Files")->trigger();
        QCOMPARE(browseTabs->count(), tabs + 1);
        QCOMPARE(browseTabs->tabText(browseTabs->currentIndex()), QString("carol"));
        Trigger("browse_user");
        QCOMPARE(browseTabs->count(), tabs + 1);
    }

    void idsWithoutActionDoNothing()
    {
        StartLoggedIn();
        // The answer to the login's own stats request makes bob's item: the
        // users are counted once it is in.
        QTRY_VERIFY(T("user")->HasItem("bob"));
        ModalDriver modals;
        const int mark = m_server.Received("bob").size();
        const int roomLists = m_server.Received("bob", SM_ROOM_LIST).size();
        const size_t users = T("user")->ItemCount();

        // No row or view has named a room or a user yet: nothing to act on.
        for (const char* id : {"create_room", "expand_all", "", "enter_room", "leave_room", "toggle_room_autojoin",
                               "add_user", "message_user", "browse_user"})
            Trigger(id);
        Trigger("refresh_room_list");
        QVERIFY(m_server.WaitFor("bob", SM_ROOM_LIST, roomLists + 1, 10000));

        // Rooms, and the peer address or relay a browse would ask for.
        QStringList sent = Codes(m_server.Received("bob")).mid(mark);
        sent = sent.filter(QRegularExpression("^(1003|1004|1010|1011|1012)$"));
        QCOMPARE(sent, QStringList{QString::number(SM_ROOM_LIST)});
        QVERIFY(!T("room")->HasItem(""));
        QVERIFY(!T("user")->HasItem(""));
        QCOMPARE(T("user")->ItemCount(), users);
        QCOMPARE(Ui()->chatTabControl->count(), 0);
        QCOMPARE(modals.Handled(), 0);
        QVERIFY(modals.Unexpected().isEmpty());
    }

    void credentialsOnlyWhileOffline()
    {
        StartLoggedIn();
        ModalDriver modals;
        ShownBox box;
        modals.Then(PressOk(&box));
        Trigger("set_user_pass");
        QCOMPARE(modals.Handled(), 1);
        QCOMPARE(box.title, QString("Cannot change username while online"));
        QCOMPARE(box.text, QString("You must be disconnected from the Tavrinel server to change your username."));
        QVERIFY(!mp_window->findChild<ChangeUsernamePasswordDialog*>());

        Ui()->action_Disconnect->trigger();
        QTRY_VERIFY(Ui()->action_Connect->isEnabled());
        Trigger("set_user_pass");
        auto* dialog = mp_window->findChild<ChangeUsernamePasswordDialog*>();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QVERIFY(!dialog->isModal());
        QCOMPARE(dialog->windowTitle(), QString("Change Username/Password"));

        Trigger("set_listening_port");
        auto* port = mp_window->findChild<ChangeListeningPortDialog*>();
        QVERIFY(port);
        QVERIFY(port->isVisible());
        QCOMPARE(modals.Handled(), 1);
        QVERIFY(modals.Unexpected().isEmpty());
    }

    void downloadFolderIsKeptAsUtf8()
    {
        StartLoggedIn();
        // Beyond Latin-1, so a Latin-1 store would mangle it.
        const QString folder = HomePath() + QString("/D\u00f6wnl\u00f8ads \u20ac\u4e0b");
        QVERIFY(QDir().mkpath(folder));
        const std::string before = GetSetting("download_folder");
        const QString shownBefore = Ui()->downloadFolderEdit->text();

        ModalDriver modals;
        modals.Then([](QWidget* ip_widget) { qobject_cast<QFileDialog*>(ip_widget)->reject(); });
        Trigger("set_download_folder");
        QCOMPARE(modals.Handled(), 1);
        QCOMPARE(GetSetting("download_folder"), before);
        QCOMPARE(Ui()->downloadFolderEdit->text(), shownBefore);

        QString caption;
        modals.Then([&](QWidget* ip_widget) {
            auto* dialog = qobject_cast<QFileDialog*>(ip_widget);
            QVERIFY(dialog);
            caption = dialog->windowTitle();
            QCOMPARE(dialog->fileMode(), QFileDialog::Directory);
            dialog->setDirectory(folder);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        Trigger("set_download_folder");
        QCOMPARE(modals.Handled(), 2);
        QCOMPARE(caption, QString("Set Download Folder"));
        QCOMPARE(GetSetting("download_folder"), folder.toUtf8().toStdString());
        QCOMPARE(Ui()->downloadFolderEdit->text(), folder);
        QVERIFY(modals.Unexpected().isEmpty());
    }

    void unshareTakesExactlyTheSelectedFolders()
    {
        StartLoggedIn();
        QTreeWidget* list = Ui()->sharedFoldersList;
        // The last two show alike; only the first of them is chosen.
        const std::vector<std::string> folders = {"/srv/plain", "/srv/M\xc3\xbcsik", "/srv/other", "/srv/\xff",
                                                  "/srv/\xfe"};
        for (const std::string& folder : folders)
            T("shared_folder")->GetItem(folder);
        QCOMPARE(list->topLevelItemCount(), 5);
        QCOMPARE(list->topLevelItem(3)->text(0), list->topLevelItem(4)->text(0));
        for (int row : {0, 1, 3})
            list->topLevelItem(row)->setSelected(true);

        Trigger("unshare_folder");

        QCOMPARE(T("shared_folder")->ItemCount(), size_t(2));
        QVERIFY(T("shared_folder")->HasItem("/srv/other"));
        QVERIFY(T("shared_folder")->HasItem("/srv/\xfe"));
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(list->topLevelItem(0)->data(0, Qt::UserRole).toByteArray(), QByteArray("/srv/other"));
        QCOMPARE(list->topLevelItem(1)->data(0, Qt::UserRole).toByteArray(), QByteArray("/srv/\xfe"));

        // Nothing selected: nothing goes.
        list->clearSelection();
        Trigger("unshare_folder");
        QCOMPARE(T("shared_folder")->ItemCount(), size_t(2));
    }

    void shareFolderOpensTheDialogAndEachRescanAReport()
    {
        StartLoggedIn();
        Trigger("share_folder");
        QList<AddSharedFolderDialog*> dialogs = mp_window->findChildren<AddSharedFolderDialog*>();
        QCOMPARE(dialogs.size(), 1);
        QVERIFY(dialogs.first()->isVisible());
        QVERIFY(!dialogs.first()->isModal());

        emit sharedFoldersManager->SharedFilesRescanned(0, 0);
        emit sharedFoldersManager->SharedFilesRescanned(1, 2);
        QList<SharedFilesRescannedDialog*> reports = mp_window->findChildren<SharedFilesRescannedDialog*>();
        QCOMPARE(reports.size(), 2);
        QCOMPARE(reports[0]->windowTitle(), QStringLiteral("Shared Files Rescanned"));
        QCOMPARE(reports[0]->Text(), QStringLiteral("0 files added.\n0 files removed."));
        QCOMPARE(reports[1]->Text(), QStringLiteral("1 files added.\n2 files removed."));
        QVERIFY(reports[1]->isVisible());
    }

    void genericLoginFailureShowsTheReasonAsText_data()
    {
        QTest::addColumn<QString>("reason");
        // Differs from the wrong-password word only in case.
        QTest::newRow("case") << "invalidPASS";
        QTest::newRow("markup") << "<b>BANNED</b> &amp; <a href=\"http://x\">appeal</a>";
    }

    void genericLoginFailureShowsTheReasonAsText()
    {
        QFETCH(QString, reason);
        QVERIFY(m_server.Set("refuse_logins", reason));
        PrepareStateFile();
        ModalDriver modals;
        ShownBox box;
        modals.Then(PressOk(&box));
        StartWindow();
        QTRY_COMPARE_WITH_TIMEOUT(modals.Handled(), 1, 10000);
        QCOMPARE(box.title, QString("Login Failure"));
        QCOMPARE(box.text, "Login failed. Reported failure reason: " + reason +
                               ". Please change your login settings in the Options tab and try reconnecting.");
        QCOMPARE(box.format, Qt::PlainText);
        QTRY_VERIFY(Ui()->action_Connect->isEnabled());
        QVERIFY(!Ui()->action_Disconnect->isEnabled());
        QVERIFY(modals.Unexpected().isEmpty());
    }

    void socketErrorWhileReconnectingShowsNoBox()
    {
        StartLoggedIn();
        ModalDriver modals;
        QVERIFY(m_server.Drop("bob"));
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsAbruptlyDisconnected(), 10000);
        QTRY_VERIFY(Ui()->action_Connect->isEnabled());

        // Nothing listens there: the retry fails as a socket error.
        SetSetting("server_port", FreePort().toStdString());
        QMetaObject::invokeMethod(timerManager->HalfMinuteTimer(), "timeout");
        QVERIFY(!Ui()->action_Connect->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(Ui()->action_Connect->isEnabled(), 20000);
        QVERIFY(!Ui()->action_Disconnect->isEnabled());
        QTest::qWait(100);
        QCOMPARE(modals.Handled(), 0);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join(", ")));
    }

    void trayClickRestoresTheWindow()
    {
        StartLoggedIn();
        QVERIFY(Ui()->minimizeToTrayCheckBox->isChecked());
        mp_window->showMinimized();
        QTRY_VERIFY(mp_window->isMinimized());
        // Nothing hides the window where a tray may be missing.
        QVERIFY(mp_window->isVisible());

        mp_window->OnTrayIconActivated(QSystemTrayIcon::DoubleClick);
        mp_window->OnTrayIconActivated(QSystemTrayIcon::Context);
        QVERIFY(mp_window->isMinimized());
        mp_window->OnTrayIconActivated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(!mp_window->isMinimized());
        QVERIFY(mp_window->isVisible());

        // Turning the option off only writes the setting.
        Ui()->minimizeToTrayCheckBox->setChecked(false);
        QCOMPARE(GetSetting("minimize_to_tray"), std::string("no"));
        QVERIFY(mp_window->isVisible());
    }

    void unfinishedSavesAreRemovedAtStart()
    {
        PrepareStateFile();
        const QString state = StatePath();
        for (const char* suffix : {".1", ".27", ".bad", ".1x", ".x"})
            QVERIFY(WriteAll(state + suffix, "left"));
        QVERIFY(QDir().mkpath(state + ".3"));
        StartWindow();

        QVERIFY(!QFile::exists(state + ".1"));
        QVERIFY(!QFile::exists(state + ".27"));
        for (const char* suffix : {".bad", ".1x", ".x", ".3"})
            QVERIFY2(QFileInfo::exists(state + suffix), suffix);
        QVERIFY(LogText("Configuration Data").contains("Removed an unfinished save: " + state + ".27"));
        QCOMPARE(GetSetting("username"), std::string("bob"));
    }
};

QTEST_MAIN(MainActionsTest)
#include "test_main_actions.moc"
