// User, room and group names in the real window, logged in at the scripted
// server: UTF-8 names show as their letters, typed names leave as UTF-8, and
// a name that is not UTF-8 is still found by its bytes.

#include "app/AppTestSupport.h"
#include "views/widgets/WidgetTestSupport.h"

#include "ActionSetToolBar.h"
#include "AddUserDialog.h"
#include "ChatForm.h"
#include "EventToolBar.h"
#include "FocusFunctions.h"
#include "PeerMessenger.h"
#include "ProtocolCodes.h"
#include "SearchResultsForm.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "StoreLookup.h"
#include "TabWidget.h"
#include "TransferQueueManager.h"
#include "UserGroupsDialog.h"
#include "mainwindow.h"
#include "server.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTextDocument>
#include <QToolButton>
#include <QWindow>
#include <QtTest>

namespace
{
// In the order the sorted lists show them.
const QStringList kNames = {QStringLiteral("Ünïcode Zoë"), QStringLiteral("Иван"), QStringLiteral("ルーム")};

std::string Bytes(const QString& i_name) { return i_name.toUtf8().toStdString(); }
// The scripted server's "latin1" fields carry one byte per character.
QString Wire(const std::string& i_bytes) { return QString::fromLatin1(i_bytes.data(), qsizetype(i_bytes.size())); }

QStringList Texts(QTabWidget* ip_tabs)
{
    QStringList texts;
    for (int k = 0; k < ip_tabs->count(); ++k)
        texts << ip_tabs->tabText(k);
    return texts;
}

// A text as a tab or a tool button shows it: "&&" is "&", a lone "&" marks
// the shortcut and does not show.
QString Shown(QString i_text)
{
    i_text.replace(QLatin1String("&&"), QChar(0xE000));
    i_text.remove(QLatin1Char('&'));
    return i_text.replace(QChar(0xE000), QLatin1Char('&'));
}

// A tool tip as it reads, its line breaks taken out.
QString ToolTipText(const QString& i_tip)
{
    QTextDocument document;
    document.setHtml(i_tip);
    return document.toPlainText().remove(QLatin1Char('\n'));
}

// The field of the last i_count messages of that code bob sent.
QStringList LastSent(TestServer& io_server, quint32 i_code, const char* ip_field, int i_count = 1)
{
    QStringList values;
    for (const QJsonValue& message : io_server.Received("bob", i_code))
        values << message.toObject()["fields"].toObject()[ip_field].toString();
    return values.mid(values.size() - i_count);
}

// Opens the row's user menu, as a right-click does, and chooses the entry.
void Choose(QTreeWidget* ip_tree, int i_row, const QString& i_entry)
{
    emit ip_tree->customContextMenuRequested(ip_tree->visualItemRect(ip_tree->topLevelItem(i_row)).center());
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    for (QAction* action : menu->actions())
        if (action->text() == i_entry)
            action->trigger();
    menu->hide();
}

// A peer's reply to the search, stored as the peer messenger stores one.
void ReplyToSearch(unsigned int i_token, const std::string& i_user)
{
    ItemPtr results = T("search_results")->NewItem();
    results += T("search_request")->GetItem(Value(i_token));
    results += T("user")->GetItem(i_user);
    results += T("search_results_user_available")->GetItem("yes");
    ItemPtr result = T("search_result")->NewItem();
    results += result;
    result += T("search_result_file_name")->GetItem("song.mp3");
    result += T("search_result_file_folder")->GetItem("music");
    emit peerMessenger->SearchResults(results);
}
}

class NamesTest : public QObject, public WindowTest
{
    Q_OBJECT

private:
    QTreeWidget* UserList() const { return Ui()->userListForm->findChild<QTreeWidget*>("userList"); }

    bool SendRoomList(const QStringList& i_rooms)
    {
        QJsonArray fields{Field("u32", int(i_rooms.size()))};
        for (const QString& room : i_rooms)
            fields << Field("utf8", room) << Field("u32", 1);
        return m_server.Send("bob", SM_ROOM_LIST, fields);
    }

private slots:
    void initTestCase() { QVERIFY(m_server.Start({"--accounts", "bob:pw2"})); }
    void init() { StartFresh(); }
    void cleanup() { StopAndClean(); }

    void namesFromTheServerShowAsTheirLetters()
    {
        QVERIFY(SendRoomList(kNames));
        QTRY_COMPARE(Column(Ui()->roomList, 0), kNames);
        QJsonArray enter{Field("utf8", kNames[1]), Field("u32", 3)};
        for (const QString& name : kNames)
            enter << Field("utf8", name) << Field("u32", 2) << Field("i32", 0) << Field("i64", 0) << Field("i32", 0)
                  << Field("i32", 0) << Field("latin1", "");
        QVERIFY(m_server.Send("bob", SM_ENTER_ROOM, enter));
        QTRY_COMPARE(Texts(Ui()->roomsTabControl), QStringList({kNames[1]}));
        QTRY_COMPARE(Column(Ui()->roomsTabControl->widget(0)->findChild<QTreeWidget*>("userList"), 2), kNames);

        // Browse tabs, hidden when the failure to reach each user posts an event.
        for (const QString& name : kNames)
            sharesForm->OpenShareBrowse(Bytes(name));
        Ui()->tabControl->setCurrentWidget(Ui()->roomsTab);
        for (const QString& name : kNames)
            emit peerMessenger->ConnectionToUserFailed(Bytes(name), "P");
        QCOMPARE(Texts(Ui()->sharesForm->TabControl()), kNames);
        QStringList events;
        for (QAction* action : eventToolBar->actions())
            events << action->text();
        QCOMPARE(events, kNames);

        const unsigned int token = gp_server->FileSearch("song", false);
        for (const QString& name : kNames)
        {
            QVERIFY(SendPrivateLine(Wire(Bytes(name)), "hi"));
            GetItem("user", Bytes(name)).NewItem("in_user_list");
            transferQueueManager->AddDownload(Bytes(name), "song.mp3", "music", 100, 0);
            ReplyToSearch(token, Bytes(name));
        }
        QTRY_COMPARE(Texts(Ui()->chatTabControl), kNames);
        QCOMPARE(Column(UserList(), 0), kNames);
        auto* downloads = Ui()->transfersForm->findChild<QTreeWidget*>("downloadsList");
        QTRY_COMPARE(downloads->topLevelItemCount(), 3);
        QStringList users = Column(downloads, 0).replaceInStrings(" [offline]", "");
        users.sort();
        QCOMPARE(users, kNames);
        auto* results = Ui()->searchForm->findChild<QTabWidget*>("searchTabControl")->widget(0);
        users = Column(qobject_cast<SearchResultsForm*>(results)->searchResults(), 0);
        users.sort();
        QCOMPARE(users, kNames);
    }

    void typedNamesLeaveAsUtf8()
    {
        // Joining from the room list, by double-click and by the toolbar.
        QVERIFY(SendRoomList({kNames[0], kNames[1]}));
        QTRY_COMPARE(Ui()->roomList->topLevelItemCount(), 2);
        mp_window->OnRoomListItemDoubleClicked(Ui()->roomList->topLevelItem(0), 0);
        QVERIFY(ShowActive(mp_window.get()));
        Ui()->tabControl->setCurrentWidget(Ui()->roomsTab);
        Ui()->roomList->setFocus(Qt::OtherFocusReason);
        Ui()->roomList->topLevelItem(1)->setSelected(true);
        for (QAction* action : actionBar->actions())
            if (action->text() == "Enter Room")
                action->trigger();
        QTRY_COMPARE(LastSent(m_server, SM_ENTER_ROOM, "room", 2),
                     QStringList({Wire(Bytes(kNames[0])), Wire(Bytes(kNames[1]))}));

        auto* adding = new AddUserDialog(mp_window.get());
        adding->findChild<QLineEdit*>("userNameEdit")->setText(kNames[2]);
        adding->findChild<QPushButton*>("addFriendButton")->click();
        QTRY_COMPARE(LastSent(m_server, SM_ADD_USER, "user"), QStringList({Wire(Bytes(kNames[2]))}));
        adding->close();

        GetItem("user", Bytes(kNames[0])).NewItem("in_user_list");
        QTreeWidget* list = UserList();
        FocusWidgetAndParents(list);
        QTRY_VERIFY(list->isVisible() && list->topLevelItemCount() == 1);
        Choose(list, 0, "Message user");
        auto* chat = qobject_cast<ChatForm*>(Ui()->chatTabControl->currentWidget());
        chat->findChild<QLineEdit*>("chatEdit")->setText("hello");
        chat->OnEnter();
        QTRY_COMPARE(LastSent(m_server, SM_PRIVATE_CHAT, "user"), QStringList({Wire(Bytes(kNames[0]))}));

        // A new group is stored as UTF-8; one stored one byte per character
        // by an earlier build shows, and is ticked by its bytes.
        const ItemPtr entry = GetItem("user", Bytes(kNames[0]))["in_user_list"];
        entry += GetItem("user_list_group", "G\xe4ste");
        QTRY_COMPARE(list->topLevelItem(0)->text(2), QString("Gäste"));
        auto* groups = new UserGroupsDialog(Bytes(kNames[0]), mp_window.get());
        QCOMPARE(groups->windowTitle(), "User Groups for [" + kNames[0] + "]");
        groups->findChild<QLineEdit*>("newGroupEdit")->setText(kNames[1]);
        groups->findChild<QPushButton*>("newGroupButton")->click();
        auto* rows = groups->findChild<QListWidget*>("groupListWidget");
        for (int k = 0; k < rows->count(); ++k)
            rows->item(k)->setCheckState(rows->item(k)->text() == "Gäste" ? Qt::Unchecked : Qt::Checked);
        QVERIFY(entry.IsConnected(FindItem("user_list_group", Bytes(kNames[1]))));
        QVERIFY(!entry.IsConnected(FindItem("user_list_group", "G\xe4ste")));
        groups->close();
    }

    void longAndMarkedNamesFitTheirPlaces()
    {
        const QString huge(5000, QLatin1Char('n'));
        const QString wide(300, QLatin1Char('w'));
        const int screenWidth = mp_window->screen()->availableGeometry().width();
        Ui()->tabControl->setCurrentWidget(Ui()->transfersTab);
        QVERIFY(SendPrivateLine(huge, "hi"));
        // The empty toolbar's placeholder has no tool tip: this waits for
        // the event's own button.
        QTRY_COMPARE(ToolTipText(eventToolBar->actions().constFirst()->toolTip()), huge);
        QCOMPARE(eventToolBar->actions().size(), 1);
        QCoreApplication::processEvents();
        mp_window->layout()->activate();
        QVERIFY(mp_window->minimumSizeHint().width() <= screenWidth);
        QVERIFY(mp_window->minimumWidth() <= screenWidth);

        Ui()->tabControl->setCurrentWidget(Ui()->chatTab);
        for (const QString& name : {QStringLiteral("a&b"), wide})
            QVERIFY(SendPrivateLine(name, "hi"));
        QTabWidget* chats = Ui()->chatTabControl;
        QTRY_COMPARE(chats->count(), 3);
        QCOMPARE(Shown(chats->tabText(1)), QString("a&b"));
        QCOMPARE(ToolTipText(chats->tabToolTip(1)), QString("a&b"));
        QStringList buttons;
        for (QAction* action : eventToolBar->actions())
            if (auto* button = qobject_cast<QToolButton*>(eventToolBar->widgetForAction(action)))
                buttons << Shown(button->text());
        QVERIFY(buttons.contains("a&b"));
        mp_window->layout()->activate();
        QVERIFY(mp_window->minimumWidth() <= screenWidth);

        // The wide last tab, shown: its close button lies inside the bar,
        // under no scroll arrow, and closes it.
        chats->setCurrentIndex(2);
        QCoreApplication::processEvents();
        RoomTabBar* bar = static_cast<RoomTabWidget*>(chats)->Bar();
        const QRect close = bar->CloseRect(2);
        QVERIFY(bar->rect().contains(close));
        QVERIFY(!bar->childAt(close.center()));
        QVERIFY(ClickChatTabClose(2));
        QTRY_COMPARE(chats->count(), 2);

        // A name beside a title's brackets is not the title's placeholder.
        auto* starred = new UserGroupsDialog("*", mp_window.get());
        starred->winId();
        QCOMPARE(starred->windowHandle()->title(), QString("User Groups for [*]"));
        starred->close();
    }

    void nameThatIsNotUtf8IsFoundByItsBytes()
    {
        // Both show as "jürgen": only the bytes tell them apart.
        const std::string latin = "j\xfcrgen";
        const std::string utf8 = Bytes("jürgen");
        for (const std::string& name : {latin, utf8})
        {
            QVERIFY(SendPrivateLine(Wire(name), "hi"));
            GetItem("user", name).NewItem("in_user_list");
        }
        QTabWidget* chats = Ui()->chatTabControl;
        QTRY_COMPARE(Texts(chats), QStringList({"jürgen", "jürgen"}));
        QCOMPARE(Column(UserList(), 0), QStringList({"jürgen", "jürgen"}));
        auto* latinChat = qobject_cast<ChatForm*>(chats->widget(0));
        latinChat->findChild<QLineEdit*>("chatEdit")->setText("hello");
        latinChat->OnEnter();
        QTRY_COMPARE(LastSent(m_server, SM_PRIVATE_CHAT, "user"), QStringList({Wire(latin)}));

        QTreeWidget* list = UserList();
        FocusWidgetAndParents(list);
        QTRY_VERIFY(list->isVisible());
        for (int k = 0; k < 2; ++k)
            Choose(list, k, "Browse user's files");
        QTabWidget* browsed = Ui()->sharesForm->TabControl();
        QTRY_COMPARE(browsed->count(), 2);
        QVERIFY(qobject_cast<ShareForm*>(browsed->widget(0))->User() !=
                qobject_cast<ShareForm*>(browsed->widget(1))->User());

        // Closing a tab closes that user's chat, not the other one's.
        QPointer<ChatForm> guard(latinChat);
        QVERIFY(ClickChatTabClose(0));
        QVERIFY(!FindItem("user", latin).IsConnected("user_chat_widget"));
        QVERIFY(FindItem("user", utf8).IsConnected("user_chat_widget"));
        QTRY_VERIFY(!guard);
        QVERIFY(ClickChatTabClose(0));
        QVERIFY(!FindItem("user", utf8).IsConnected("user_chat_widget"));
    }
};

QTEST_MAIN(NamesTest)
#include "test_names.moc"
