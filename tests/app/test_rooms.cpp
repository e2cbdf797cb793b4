// The Rooms tab and the private chat tabs of the main window, logged in at
// the scripted server: the room list, joining by double-click, one tab per
// joined room and per conversation.

#include "app/AppTestSupport.h"
#include "common/TestServer.h"

#include "ChatForm.h"
#include "Data.h"
#include "RoomForm.h"
#include "ProtocolCodes.h"
#include "mainwindow.h"
#include "server.h"

#include <QJsonArray>
#include <QLineEdit>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

namespace
{

// As the user does it: the first click, then the second.
void DoubleClick(QWidget* ip_widget, QPoint i_pos)
{
    QTest::mouseClick(ip_widget, Qt::LeftButton, {}, i_pos);
    QTest::mouseDClick(ip_widget, Qt::LeftButton, {}, i_pos);
    QTest::mouseRelease(ip_widget, Qt::LeftButton, {}, i_pos);
}

QJsonArray RoomList(const QList<QPair<QString, int>>& i_rooms)
{
    QJsonArray fields{Field("u32", int(i_rooms.size()))};
    for (const auto& room : i_rooms)
    {
        fields.append(Field("latin1", room.first));
        fields.append(Field("u32", room.second));
    }
    return fields;
}
}

class RoomsTest : public QObject, public WindowTest
{
    Q_OBJECT

private:
    QTreeWidgetItem* Row(const QString& i_room) const
    {
        const auto rows = Ui()->roomList->findItems(i_room, Qt::MatchExactly, 0);
        return rows.size() == 1 ? rows.first() : nullptr;
    }

    static QString Shown(ChatForm* ip_form) { return ip_form->findChild<QTextBrowser*>("chatView")->toPlainText(); }

    ChatForm* ChatTab(int i_index) const { return qobject_cast<ChatForm*>(Ui()->chatTabControl->widget(i_index)); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Start({"--accounts", "bob:pw2"}));
    }

    void init() { StartFresh(); }

    void cleanup() { StopAndClean(); }

    void roomListFillsAndJoinsByName()
    {
        QVERIFY(m_server.Send("bob", SM_ROOM_LIST, RoomList({{"gamma", 3}, {"Beta", 12}, {"alpha", 5}})));
        QTRY_COMPARE(Ui()->roomList->topLevelItemCount(), 3);
        // Sorted by name without regard to case.
        QCOMPARE(Ui()->roomList->topLevelItem(0)->text(0), QString("alpha"));
        QCOMPARE(Ui()->roomList->topLevelItem(1)->text(0), QString("Beta"));
        QCOMPARE(Row("Beta")->text(1), QString("12"));

        // A later list refreshes the counts of the rooms listed already.
        QVERIFY(m_server.Send("bob", SM_ROOM_LIST, RoomList({{"alpha", 9}, {"Beta", 12}, {"délice", 1}})));
        QTRY_COMPARE(Ui()->roomList->topLevelItemCount(), 4);
        QCOMPARE(Row("alpha")->text(1), QString("9"));
        QCOMPARE(Row("gamma")->text(1), QString("3"));
        QCOMPARE(Row("délice")->text(1), QString("1"));

        // Sorted on the counts, a new list puts the rows in their new order.
        Ui()->roomList->sortByColumn(1, Qt::AscendingOrder);
        QCOMPARE(Ui()->roomList->topLevelItem(0)->text(0), QString("délice"));
        QVERIFY(m_server.Send("bob", SM_ROOM_LIST, RoomList({{"alpha", 9}, {"Beta", 12}, {"délice", 40}})));
        QTRY_COMPARE(Ui()->roomList->topLevelItem(3)->text(0), QString("délice"));
        QCOMPARE(Ui()->roomList->topLevelItem(0)->text(0), QString("gamma"));
        Ui()->roomList->sortByColumn(0, Qt::AscendingOrder);

        // A double-click on the count joins nothing; on the name it does.
        Ui()->tabControl->setCurrentWidget(Ui()->roomsTab);
        QTreeWidget* list = Ui()->roomList;
        QTRY_VERIFY(list->isVisible());
        list->scrollToItem(Row("délice"));
        const QRect counts = list->visualRect(list->indexFromItem(Row("délice"), 1));
        DoubleClick(list->viewport(), counts.center());
        QTest::qWait(300);
        QCOMPARE(m_server.Received("bob", SM_ENTER_ROOM).size(), 0);
        const QRect names = list->visualRect(list->indexFromItem(Row("délice"), 0));
        DoubleClick(list->viewport(), names.center());
        QVERIFY(m_server.WaitFor("bob", SM_ENTER_ROOM, 1, 10000));

        // The server's confirmation opens one tab and brings it forward.
        QTabWidget* rooms = Ui()->roomsTabControl;
        QTRY_COMPARE(rooms->count(), 1);
        QCOMPARE(rooms->tabText(0), QString("délice"));
        auto* form = qobject_cast<RoomForm*>(rooms->widget(0));
        QVERIFY(form);
        QCOMPARE(form->RoomName(), std::string("d\xe9lice"));
        Ui()->tabControl->setCurrentWidget(Ui()->chatTab);
        QVERIFY(m_server.Send("bob", SM_ENTER_ROOM, {Field("latin1", "gamma"), Field("u32", 0)}));
        QTRY_COMPARE(rooms->count(), 2);
        QCOMPARE(rooms->currentIndex(), 1);
        QCOMPARE(Ui()->tabControl->currentWidget(), Ui()->roomsTab);

        // A second confirmation of the same room opens no second tab.
        QVERIFY(m_server.Send("bob", SM_ENTER_ROOM, {Field("latin1", "délice"), Field("u32", 0)}));
        QVERIFY(m_server.Send("bob", SM_ROOM_LIST, RoomList({{"délice", 2}})));
        QTRY_COMPARE(Row("délice")->text(1), QString("2"));
        QCOMPARE(rooms->count(), 2);

        // Leaving the room takes its view and tab away.
        QPointer<RoomForm> guard(form);
        QVERIFY(m_server.Send("bob", SM_LEAVE_ROOM, {Field("latin1", "délice")}));
        QTRY_VERIFY(!guard);
        QCOMPARE(rooms->count(), 1);
        QCOMPARE(rooms->tabText(0), QString("gamma"));
    }

    void privateMessagesOpenOneTabPerUser()
    {
        mp_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mp_window.get()));
        Ui()->tabControl->setCurrentWidget(Ui()->roomsTab);
        Ui()->roomList->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), Ui()->roomList);
        QTabWidget* chats = Ui()->chatTabControl;

        // The first message opens the tab and moves nothing.
        QVERIFY(SendPrivateLine("carol", "hello <b>there</b>"));
        QTRY_COMPARE(chats->count(), 1);
        QCOMPARE(chats->tabText(0), QString("carol"));
        ChatForm* first = ChatTab(0);
        QVERIFY(first);
        QCOMPARE(Ui()->tabControl->currentWidget(), Ui()->roomsTab);
        QCOMPARE(QApplication::focusWidget(), Ui()->roomList);
        const QString link = ItemPtr(T("user")->HasItem("carol"))["user_chat_widget"].AsString().c_str();
        QCOMPARE(link, QString::number(quintptr(first)));

        // The next one goes to the same view.
        QVERIFY(SendPrivateLine("carol", "second"));
        QTRY_VERIFY(Shown(first).contains("second"));
        QVERIFY(Shown(first).contains("hello <b>there</b>"));
        QCOMPARE(chats->count(), 1);
        QCOMPARE(mp_window->GetChatForm("carol"), first);

        // Another user, another tab; the current one stays.
        QVERIFY(SendPrivateLine("dave", "hi"));
        QTRY_COMPARE(chats->count(), 2);
        QCOMPARE(chats->currentIndex(), 0);
        QCOMPARE(QApplication::focusWidget(), Ui()->roomList);

        // Closing a tab drops the link at once; the view goes next.
        QPointer<ChatForm> guard(first);
        QVERIFY(ClickChatTabClose(0));
        QVERIFY(!ItemPtr(T("user")->HasItem("carol")).IsConnected("user_chat_widget"));
        QTRY_VERIFY(!guard);
        QCOMPARE(chats->count(), 1);

        QVERIFY(SendPrivateLine("carol", "again"));
        QTRY_COMPARE(chats->count(), 2);
        ChatForm* fresh = mp_window->GetChatForm("carol");
        QCOMPARE(Shown(fresh).count('\n'), 0);
        QVERIFY(Shown(fresh).contains("again"));

        // Opening a conversation brings it forward with the focus.
        ChatForm* opened = mp_window->OpenChatForm("dave");
        QCOMPARE(Ui()->tabControl->currentWidget(), Ui()->chatTab);
        QCOMPARE(chats->currentWidget(), opened);
        QTRY_VERIFY(opened->isAncestorOf(QApplication::focusWidget()));

        // A view that goes takes its link along.
        delete opened;
        QVERIFY(!ItemPtr(T("user")->HasItem("dave")).IsConnected("user_chat_widget"));
        QVERIFY(mp_window->GetChatForm("dave") != nullptr);
        QCOMPARE(chats->count(), 2);
    }
};

QTEST_MAIN(RoomsTest)
#include "test_rooms.moc"
