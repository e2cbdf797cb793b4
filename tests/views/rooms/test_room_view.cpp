// A room's tab and a private conversation's tab in the real window, logged
// in at the scripted server: the user list and its order, the room's life
// over a lost connection and a leave, what other users' text may do, the
// bound of a busy view, and the conversation tabs.

#include "app/AppTestSupport.h"
#include "views/widgets/WidgetTestSupport.h"
#include "common/TestServer.h"

#include "ActionSetToolBar.h"
#include "ChatForm.h"
#include "ChatHistory.h"
#include "Data.h"
#include "EventToolBar.h"
#include "QRoomListItemWidget.h"
#include "QRoomUserListItemWidget.h"
#include "RoomForm.h"
#include "TextConversion.h"
#include "ProtocolCodes.h"
#include "mainwindow.h"
#include "server.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QTreeWidget>
#include <QPointer>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

namespace
{

struct Member
{
    QString m_name;
    int m_speed;
    int m_files;
    QString m_country;
};

void AddMember(QJsonArray& io_fields, const Member& i_member)
{
    io_fields.append(Field("latin1", i_member.m_name));
    io_fields.append(Field("u32", 2));
    io_fields.append(Field("i32", i_member.m_speed));
    io_fields.append(Field("i64", 0));
    io_fields.append(Field("i32", i_member.m_files));
    io_fields.append(Field("i32", 0));
    io_fields.append(Field("latin1", i_member.m_country));
}

QJsonArray EnterReply(const QString& i_room, const QList<Member>& i_members)
{
    QJsonArray fields{Field("latin1", i_room), Field("u32", int(i_members.size()))};
    for (const Member& member : i_members)
        AddMember(fields, member);
    return fields;
}

QString AutojoinText(RoomForm* ip_form)
{
    ItemPtr widget = T("toolbar_action_widget")->HasItem(Value(ip_form));
    ItemPtr id = T("toolbar_action_id")->HasItem("toggle_room_autojoin");
    return FromLatin1(ItemPtr(d->GetItem(widget, id, "widget_action_text")).AsString());
}

// The named widget of a view's form.
template <class W>
W* Part(QWidget* ip_view, const char* ip_name)
{
    return ip_view->findChild<W*>(ip_name);
}
QTextBrowser* ChatView(QWidget* ip_view) { return Part<QTextBrowser>(ip_view, "chatView"); }
QLineEdit* ChatEdit(QWidget* ip_view) { return Part<QLineEdit>(ip_view, "chatEdit"); }
QTreeWidget* UserList(QWidget* ip_view) { return Part<QTreeWidget>(ip_view, "userList"); }

// A line of n characters of HTML as a view would keep it.
QString Line(int i_length, QChar i_fill = 'x')
{
    return QString(i_length, i_fill);
}
}

class RoomViewTest : public QObject, public WindowTest
{
    Q_OBJECT

private:
    RoomForm* Room(const QString& i_name) const
    {
        QTabWidget* tabs = Ui()->roomsTabControl;
        for (int k = 0; k < tabs->count(); ++k)
            if (tabs->tabText(k) == i_name)
                return qobject_cast<RoomForm*>(tabs->widget(k));
        return nullptr;
    }

    bool Enter(const QString& i_room, const QList<Member>& i_members)
    {
        return m_server.Send("bob", SM_ENTER_ROOM, EnterReply(i_room, i_members));
    }

    bool RoomLine(const QString& i_room, const QString& i_user, const QString& i_text)
    {
        return m_server.Send("bob", SM_ROOM_CHAT,
                             {Field("latin1", i_room), Field("latin1", i_user), Field("utf8", i_text)});
    }

    // Messages of a code that bob sent, by their text field.
    QStringList Sent(quint32 i_code)
    {
        QStringList texts;
        for (const QJsonValue& message : m_server.Received("bob", i_code))
            texts << message.toObject()["fields"].toObject()["text"].toString();
        return texts;
    }

    static QString Shown(QTextBrowser* ip_view) { return ip_view->toPlainText(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Start({"--accounts", "bob:pw2"}));
    }

    void init() { StartFresh(); }

    void cleanup() { StopAndClean(); }

    void rowOrder_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("cells");
        QTest::addColumn<QStringList>("sorted");
        // Room list: names without regard to case, counts as numbers.
        QTest::newRow("rooms by name") << 0 << QStringList{"gamma", "alpha", "Beta"}
                                       << QStringList{"alpha", "Beta", "gamma"};
        QTest::newRow("rooms by count") << 1 << QStringList{"100", "9", "x", "10"}
                                        << QStringList{"x", "9", "10", "100"};
    }

    void rowOrder()
    {
        QFETCH(int, column);
        QFETCH(QStringList, cells);
        QFETCH(QStringList, sorted);
        QTreeWidget list;
        list.setColumnCount(2);
        list.setSortingEnabled(true);
        for (const QString& cell : cells)
        {
            auto* row = new QRoomListItemWidget(&list);
            row->setText(column, cell);
        }
        list.sortByColumn(column, Qt::AscendingOrder);
        QCOMPARE(Column(&list, column), sorted);
    }

    // Rows named through SetName order as rows whose name is only their
    // cell text: case ignored the way QString's comparison ignores it.
    void userRowsOrderByNameAsTheirCells()
    {
        const QStringList names = {QStringLiteral("bob"),
                                   QStringLiteral("Alice"),
                                   QStringLiteral("BOB"),
                                   QString::fromUtf8("\u00C9mile"),
                                   QString::fromUtf8("\u00E9mile"),
                                   QString::fromUtf8("Zo\u00EB"),
                                   QString::fromUtf8("\u00DF"),
                                   QStringLiteral("ss"),
                                   QString::fromUtf8("\u00B5"),
                                   QString::fromUtf8("\u039C"),
                                   QString::fromUtf8("\u00FF"),
                                   QString::fromUtf8("\u0178"),
                                   QString::fromUtf8("\U0001F600 x"),
                                   QString(),
                                   QStringLiteral("_under"),
                                   QStringLiteral("[x]"),
                                   QStringLiteral("alice2")};
        QTreeWidget keyed;
        QTreeWidget plain;
        for (QTreeWidget* list : {&keyed, &plain})
        {
            list->setColumnCount(5);
            for (const QString& name : names)
            {
                auto* row = new QRoomUserListItemWidget(list);
                if (list == &keyed)
                    row->SetName(ToName(name));
                else
                    row->setText(2, name);
            }
        }
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder})
        {
            keyed.sortByColumn(2, order);
            plain.sortByColumn(2, order);
            QCOMPARE(Column(&keyed, 2), Column(&plain, 2));
            const QStringList sorted = Column(&keyed, 2);
            for (int k = 1; k < sorted.size(); ++k)
            {
                const int step = sorted[k - 1].compare(sorted[k], Qt::CaseInsensitive);
                QVERIFY(order == Qt::AscendingOrder ? step <= 0 : step >= 0);
            }
        }
    }

    void joiningFillsOneTab()
    {
        QVERIFY(Enter("lobby", {{"carol", 1536, 12345, "DE"}, {"Alice", 0, 0, ""}, {"bob", 2048, 7, "FR"}}));
        QTabWidget* rooms = Ui()->roomsTabControl;
        QTRY_COMPARE(rooms->count(), 1);
        RoomForm* form = Room("lobby");
        QVERIFY(form);
        QTreeWidget* list = UserList(form);
        QTRY_COMPARE(list->topLevelItemCount(), 3);

        // The list sorts new rows once the event loop turns.
        QTRY_COMPARE(Column(list, 2), (QStringList{"Alice", "bob", "carol"}));
        QCOMPARE(Column(list, 3), (QStringList{"", "7", "12,345"}));
        QCOMPARE(Column(list, 4), (QStringList{"", "2.0", "1.5"}));
        QCOMPARE(list->topLevelItem(2)->data(1, kRoomUserSortRole).toString(), QString("DE"));
        if (QFile::exists(":/resources/flags/de.png"))
            QVERIFY(!list->topLevelItem(2)->icon(1).isNull());
        QVERIFY(list->topLevelItem(0)->icon(1).isNull());

        // The other columns order by the numbers shown, ties by name.
        list->sortByColumn(4, Qt::AscendingOrder);
        QCOMPARE(Column(list, 2), (QStringList{"Alice", "carol", "bob"}));
        list->sortByColumn(3, Qt::DescendingOrder);
        QCOMPARE(Column(list, 2), (QStringList{"carol", "bob", "Alice"}));
        // Flags by country code: none, DE, FR.
        list->sortByColumn(1, Qt::AscendingOrder);
        QCOMPARE(Column(list, 2), (QStringList{"Alice", "carol", "bob"}));
        list->sortByColumn(0, Qt::AscendingOrder);
        QCOMPARE(Column(list, 2), (QStringList{"Alice", "bob", "carol"}));
        list->sortByColumn(2, Qt::AscendingOrder);

        // Notices add and remove rows.
        QVERIFY(m_server.Send("bob", SM_USER_JOINED_ROOM,
                              {Field("latin1", "lobby"), Field("latin1", "dave"), Field("u32", 2), Field("i32", 10240),
                               Field("i64", 0), Field("i32", 1000000), Field("i32", 1), Field("latin1", "")}));
        QTRY_COMPARE(list->topLevelItemCount(), 4);
        QTRY_COMPARE(Column(list, 2), (QStringList{"Alice", "bob", "carol", "dave"}));
        QCOMPARE(list->topLevelItem(3)->text(3), QString("1,000,000"));
        QCOMPARE(list->topLevelItem(3)->text(4), QString("10.0"));
        QVERIFY(m_server.Send("bob", SM_USER_LEFT_ROOM, {Field("latin1", "lobby"), Field("latin1", "carol")}));
        QTRY_COMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(Column(list, 2), (QStringList{"Alice", "bob", "dave"}));
        QCOMPARE(rooms->count(), 1);
    }

    void roomLivesThroughReconnectAndLeave()
    {
        // The room's set exists before the view, as the window makes it.
        if (!T("toolbar_action_id")->HasItem("toggle_room_autojoin"))
            actionBar->AddSetAction("room", "toggle_room_autojoin", "Toggle Room Autojoin", ":/icons/room_icon",
                                    false);
        ItemPtr lobby = T("room")->GetItem("lobby");
        lobby.NewItem("room_autojoin");
        QVERIFY(Enter("lobby", {{"carol", 1024, 5, "DE"}}));
        QTRY_VERIFY(Room("lobby"));
        QPointer<RoomForm> form(Room("lobby"));
        QTreeWidget* list = UserList(form);
        QTRY_COMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(AutojoinText(form), QString("Auto-Join Room [on]"));
        lobby.Disconnect("room_autojoin");
        QCOMPARE(AutojoinText(form), QString("Auto-Join Room [off]"));
        lobby.NewItem("room_autojoin");
        QCOMPARE(AutojoinText(form), QString("Auto-Join Room [on]"));

        // A user known from before joins with the numbers of the notice.
        QVERIFY(m_server.Send("bob", SM_USER_JOINED_ROOM,
                              {Field("latin1", "lobby"), Field("latin1", "erin"), Field("u32", 2), Field("i32", 0),
                               Field("i64", 0), Field("i32", 1), Field("i32", 1), Field("latin1", "")}));
        QTRY_COMPARE(list->topLevelItemCount(), 2);
        QVERIFY(m_server.Send("bob", SM_USER_LEFT_ROOM, {Field("latin1", "lobby"), Field("latin1", "erin")}));
        QVERIFY(m_server.Send("bob", SM_USER_JOINED_ROOM,
                              {Field("latin1", "lobby"), Field("latin1", "erin"), Field("u32", 2), Field("i32", 0),
                               Field("i64", 0), Field("i32", 2222), Field("i32", 1), Field("latin1", "")}));
        QTRY_COMPARE(Column(list, 3), (QStringList{"5", "2,222"}));

        // A lost connection and a new login: the view stays and enters again.
        QVERIFY(m_server.Drop("bob"));
        QTRY_VERIFY_WITH_TIMEOUT(!gp_server->IsConnected(), 10000);
        QTRY_VERIFY(Shown(ChatView(form)).contains("Disconnected."));
        const int entered = m_server.Received("bob", SM_ENTER_ROOM).size();
        gp_server->Connect();
        WaitLoggedIn();
        QTRY_VERIFY(Shown(ChatView(form)).contains("Reconnected."));
        QVERIFY(m_server.WaitFor("bob", SM_ENTER_ROOM, entered + 1, 10000));
        // The reply lists the room's users with their numbers of now.
        QVERIFY(Enter("lobby", {{"carol", 3072, 999, "DE"}, {"bob", 0, 1, ""}}));
        QTRY_COMPARE(Column(list, 2), (QStringList{"bob", "carol"}));
        QTRY_COMPARE(Column(list, 3), (QStringList{"1", "999"}));
        QCOMPARE(Column(list, 4), (QStringList{"", "3.0"}));
        QCOMPARE(Ui()->roomsTabControl->count(), 1);
        QCOMPARE(Room("lobby"), form.data());

        // A confirmed leave takes view and tab; a later line does no harm.
        QVERIFY(m_server.Send("bob", SM_LEAVE_ROOM, {Field("latin1", "lobby")}));
        QTRY_VERIFY(!form);
        QCOMPARE(Ui()->roomsTabControl->count(), 0);
        QVERIFY(RoomLine("lobby", "carol", "anyone?"));
        QVERIFY(m_server.Send("bob", SM_USER_JOINED_ROOM,
                              {Field("latin1", "lobby"), Field("latin1", "zed"), Field("u32", 2), Field("i32", 0),
                               Field("i64", 0), Field("i32", 1), Field("i32", 1), Field("latin1", "")}));
        QTest::qWait(200);
        QCOMPARE(Ui()->roomsTabControl->count(), 0);
    }

    void chatShowsOtherUsersTextSafely()
    {
        QVERIFY(Enter("lobby", {{"carol", 0, 0, ""}}));
        QVERIFY(Enter("attic", {{"dave", 0, 0, ""}}));
        QTRY_VERIFY(Room("lobby") && Room("attic"));
        RoomForm* lobby = Room("lobby");
        RoomForm* attic = Room("attic");

        const QString text = "<b>bold</b> & \"q\" http://x.example/a?b=1&c=2\"onclick=\"evil() "
                             "ftp://files.example/x javascript:alert(1) h\u00e9llo \u2713";
        QVERIFY(RoomLine("lobby", "<i>carol</i>", text));
        QVERIFY(RoomLine("attic", "dave", "upstairs"));
        QTRY_VERIFY(Shown(ChatView(lobby)).contains("bold"));
        QTRY_VERIFY(Shown(ChatView(attic)).contains("upstairs"));
        QCOMPARE(Shown(ChatView(lobby)), "[<i>carol</i>] " + text);
        QVERIFY(!Shown(ChatView(attic)).contains("bold"));
        QVERIFY(!Shown(ChatView(lobby)).contains("upstairs"));

        // Only the web address is a link, and it ends at the quote.
        const QString html = lobby->History().Html();
        QCOMPARE(html.count("<a "), 1);
        QVERIFY(html.contains("<a href=\"http://x.example/a?b=1&amp;c=2\">"));
        QVERIFY(!html.contains("onclick=\""));
        QVERIFY(ChatView(lobby)->openExternalLinks());

        // Own lines are sent as UTF-8 and shown only when they come back.
        QLineEdit* edit = ChatEdit(lobby);
        const int lines = lobby->History().LineCount();
        edit->setText("gr\u00fc\u00dfe \u2713");
        QTest::keyClick(edit, Qt::Key_Return);
        QVERIFY(m_server.WaitFor("bob", SM_ROOM_CHAT, 1, 10000));
        QCOMPARE(Sent(SM_ROOM_CHAT), QStringList{"gr\u00fc\u00dfe \u2713"});
        QCOMPARE(edit->text(), QString());
        QCOMPARE(lobby->History().LineCount(), lines);
        // An empty entry sends nothing.
        QTest::keyClick(edit, Qt::Key_Return);

        // Offline, the typed text stays and nothing is sent.
        gp_server->Disconnect();
        QTRY_VERIFY(!gp_server->IsConnected());
        edit->setText("later");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), QString("later"));
        QVERIFY(Shown(ChatView(lobby)).endsWith("Not connected: message not sent."));
        // Both rooms follow the connection.
        QVERIFY(Shown(ChatView(attic)).endsWith("Disconnected."));
        QTest::qWait(200);
        QCOMPARE(Sent(SM_ROOM_CHAT).size(), 1);
    }

    void trimRule()
    {
        // The pure rule: at the limit nothing goes; one more cuts.
        QString html = Line(60000) + '\n' + Line(kChatHistoryLimit - 60001);
        QCOMPARE(html.size(), kChatHistoryLimit);
        QCOMPARE(ChatHistoryCut(html), qsizetype(0));
        html += 'y';
        QCOMPARE(ChatHistoryCut(html), qsizetype(60001));
        // A line feed right at the cut goes with it.
        QString exact = Line(kChatHistoryDrop) + '\n' + Line(kChatHistoryLimit);
        QCOMPARE(ChatHistoryCut(exact), qsizetype(kChatHistoryDrop + 1));
        // No line feed after the cut: exactly the first characters.
        QString single = Line(10) + '\n' + Line(kChatHistoryLimit);
        QCOMPARE(ChatHistoryCut(single), qsizetype(kChatHistoryDrop));

        // Long texts are cut after decoding, never inside a character.
        QCOMPARE(CutChatText(Line(kChatTextLimit)), Line(kChatTextLimit));
        QCOMPARE(CutChatText(Line(kChatTextLimit + 1)), Line(kChatTextLimit) + QChar(0x2026));
        const QString clef = QString::fromUtf8("\xf0\x9d\x84\x9e");
        const QString split = CutChatText(Line(kChatTextLimit - 1) + clef + clef);
        QCOMPARE(split, Line(kChatTextLimit - 1) + QChar(0x2026));
    }

    void busyViewDropsOldestLines()
    {
        QVERIFY(Enter("lobby", {{"carol", 0, 0, ""}}));
        QTRY_VERIFY(Room("lobby"));
        RoomForm* form = Room("lobby");
        QTextBrowser* view = ChatView(form);
        for (int k = 0; k < 3000; ++k)
            form->OnRoomChat("lobby", "carol", QStringLiteral("line %1 ").arg(k, 5, 10, QChar('0')).toStdString() +
                                                   std::string(100, 'z'));
        QVERIFY(form->History().Length() <= kChatHistoryLimit + 200);
        QVERIFY(form->History().Length() > kChatHistoryLimit - kChatHistoryDrop - 200);
        const QString shown = Shown(view);
        QVERIFY(!shown.contains("line 00000 "));
        QVERIFY(shown.contains("line 02999 "));
        QVERIFY(shown.startsWith("[carol] line "));
        // The view holds the kept lines and nothing else.
        QCOMPARE(view->document()->blockCount(), form->History().LineCount());

        // A line of 1 MiB from the server is cut.
        QVERIFY(RoomLine("lobby", "carol", QString(1 << 20, 'w')));
        QTRY_VERIFY(Shown(view).endsWith(QString(100, 'w') + QChar(0x2026)));
        const QStringList lines = Shown(view).split('\n');
        QCOMPARE(lines.last().size(), QString("[carol] ").size() + kChatTextLimit + 1);
    }

    void privateChatTabs()
    {
        QTabWidget* chats = Ui()->chatTabControl;
        Ui()->tabControl->setCurrentWidget(Ui()->roomsTab);
        QVERIFY(SendPrivateLine("carol", "one & <two>"));
        QVERIFY(SendPrivateLine("carol", "three http://c.example/"));
        QTRY_COMPARE(chats->count(), 1);
        ChatForm* form = mp_window->GetChatForm("carol");
        QTRY_VERIFY(Shown(ChatView(form)).contains("three"));
        QCOMPARE(Shown(ChatView(form)), QString("[carol] one & <two>\n[carol] three http://c.example/"));
        QVERIFY(form->History().Html().contains("<a href=\"http://c.example/\">"));
        // Two lines while hidden, one event entry; showing the tab removes it.
        QCOMPARE(T("event_toolbar_widget")->ItemCount(), size_t(1));
        QVERIFY(!form->isVisible());
        Ui()->tabControl->setCurrentWidget(Ui()->chatTab);
        chats->setCurrentWidget(form);
        QTRY_VERIFY(form->isVisible());
        QCOMPARE(T("event_toolbar_widget")->ItemCount(), size_t(0));

        // The own line carries the own name and reaches the server.
        QLineEdit* edit = ChatEdit(form);
        edit->setText("hi carol \u2713");
        QTest::keyClick(edit, Qt::Key_Return);
        QVERIFY(m_server.WaitFor("bob", SM_PRIVATE_CHAT, 1, 10000));
        QCOMPARE(Sent(SM_PRIVATE_CHAT), QStringList{"hi carol \u2713"});
        QCOMPARE(m_server.Received("bob", SM_PRIVATE_CHAT)[0].toObject()["fields"].toObject()["user"].toString(),
                 QString("carol"));
        QVERIFY(Shown(ChatView(form)).endsWith("[bob] hi carol \u2713"));
        QCOMPARE(edit->text(), QString());
        // An empty entry sends and shows nothing.
        const int lines = form->History().LineCount();
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(form->History().LineCount(), lines);

        // Offline: kept, not echoed, said so.
        gp_server->Disconnect();
        QTRY_VERIFY(!gp_server->IsConnected());
        edit->setText("unsent");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), QString("unsent"));
        QVERIFY(!Shown(ChatView(form)).contains("[bob] unsent"));
        QVERIFY(Shown(ChatView(form)).endsWith("Not connected: message not sent."));
        gp_server->Connect();
        WaitLoggedIn();

        // A closed tab leaves no link; the next line opens an empty tab.
        QPointer<ChatForm> guard(form);
        mp_window->OnChatTabClosed(chats->indexOf(form));
        QVERIFY(!ItemPtr(T("user")->HasItem("carol")).IsConnected("user_chat_widget"));
        QTRY_VERIFY(!guard);
        QCOMPARE(T("user_chat_widget")->ItemCount(), size_t(0));
        QVERIFY(SendPrivateLine("carol", "again"));
        QTRY_COMPARE(chats->count(), 1);
        QTRY_COMPARE(Shown(ChatView(mp_window->GetChatForm("carol"))), QString("[carol] again"));
    }
};

QTEST_MAIN(RoomViewTest)
#include "test_room_view.moc"
