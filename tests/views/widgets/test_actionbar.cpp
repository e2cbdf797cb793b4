// The context toolbar: the shown set follows the focus, the context is right
// when an action fires, destroyed widgets leave nothing behind, and the
// support button.

#include "views/widgets/WidgetTestSupport.h"

#include "ActionSetToolBar.h"
#include "Data.h"
#include "TreeWidget.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QWidgetAction>
#include <QtTest>

#include <climits>

namespace
{
// What the toolbar shows, left to right: action texts, "|" for the spacer
// and "[text]" for the support button.
QStringList Shown(QToolBar* ip_bar)
{
    QStringList shown;
    for (QAction* action : ip_bar->actions())
    {
        auto* widgetAction = qobject_cast<QWidgetAction*>(action);
        if (!widgetAction)
            shown << action->text();
        else if (auto* button = qobject_cast<QPushButton*>(widgetAction->defaultWidget()))
            shown << "[" + button->text() + "]";
        else
            shown << "|";
    }
    return shown;
}

QStringList WithButton(QStringList i_actions, const QString& i_button = "Support Tavrinel!")
{
    return i_actions << "" << "|" << "[" + i_button + "]";
}

QAction* ShownAction(QToolBar* ip_bar, const QString& i_text)
{
    for (QAction* action : ip_bar->actions())
        if (action->text() == i_text)
            return action;
    return nullptr;
}

QPushButton* SupportButton(QToolBar* ip_bar)
{
    for (QAction* action : ip_bar->actions())
        if (auto* widgetAction = qobject_cast<QWidgetAction*>(action))
            if (auto* button = qobject_cast<QPushButton*>(widgetAction->defaultWidget()))
                return button;
    return nullptr;
}

template <class W = QLineEdit>
W* AddTo(QWidget* ip_parent)
{
    if (!ip_parent->layout())
        new QVBoxLayout(ip_parent);
    auto* widget = new W;
    ip_parent->layout()->addWidget(widget);
    return widget;
}

size_t Count(const char* ip_type)
{
    return d->GetType(ip_type)->ItemCount();
}
}

class ActionBarTest : public QObject
{
    Q_OBJECT

public slots:
    void OnUrl(const QUrl& i_url) { m_urls << i_url; }

private:
    QMainWindow* mp_window = nullptr;
    ActionSetToolBar* mp_bar = nullptr;
    QWidget* mp_central = nullptr;
    QList<QUrl> m_urls;

    void Focus(QWidget* ip_widget)
    {
        ip_widget->setFocus(Qt::OtherFocusReason);
        QCOMPARE(QApplication::focusWidget(), ip_widget);
    }

private slots:
    void init()
    {
        d->Reset();
        MakeType("global", true, false, true)->RelateToType(MakeType("global_value", false, false, true), Many, One, false);
        mp_window = new QMainWindow;
        mp_bar = new ActionSetToolBar(mp_window);
        mp_window->addToolBar(mp_bar);
        mp_central = new QWidget;
        mp_window->setCentralWidget(mp_central);
        QCOMPARE(actionBar, mp_bar);
    }

    void cleanup()
    {
        delete mp_window;
        QVERIFY(!actionBar);
        RunDeferredDeletes();
        d->Reset();
    }

    // Every window builds its own toolbar: the types are made once, and
    // the global names the newest toolbar until it goes.
    void severalToolbarsInOneProcess()
    {
        {
            ActionSetToolBar second;
            QCOMPARE(actionBar, &second);
            second.AddSetAction("set", "a", "A", "", false);
        }
        QVERIFY(!actionBar);
        QCOMPARE(Count("toolbar_action"), size_t(1));
        actionBar = mp_bar;
    }

    void setFollowsTheFocus()
    {
        mp_bar->AddSetAction("outer", "o1", "Outer One", ":/icons/room_icon", false);
        mp_bar->AddSetAction("inner", "i1", "Inner One", ":/icons/chat_icon", false);
        mp_bar->AddSetAction("outer", "o2", "Outer Two", ":/icons/room_icon", true);
        mp_bar->AddSetAction("inner", "i2", "Inner Two", ":/icons/chat_icon", true);

        auto* outer = AddTo<QWidget>(mp_central);
        QLineEdit* inOuter = AddTo(outer);
        auto* inner = AddTo<QWidget>(outer);
        QLineEdit* inInner = AddTo(inner);
        QLineEdit* alsoInInner = AddTo(inner);
        QLineEdit* loose = AddTo(mp_central);
        auto* tabs = AddTo<QTabWidget>(mp_central);
        auto* firstPage = new QWidget;
        QLineEdit* onFirstPage = AddTo(firstPage);
        auto* secondPage = new QWidget;
        AddTo(secondPage);
        tabs->addTab(firstPage, "first");
        tabs->addTab(secondPage, "second");
        auto* twin = AddTo<QWidget>(mp_central);
        QLineEdit* inTwin = AddTo(twin);

        mp_bar->RegisterWidget(outer, "outer");
        mp_bar->RegisterWidget(inner, "inner");
        mp_bar->RegisterWidget(secondPage, "inner");
        mp_bar->RegisterWidget(twin, "outer");
        mp_bar->SetWidgetActionText(twin, "o1", "Outer [on]");
        QCOMPARE(Shown(mp_bar), WithButton({}));
        QVERIFY(ShowActive(mp_window));

        Focus(inOuter);
        QCOMPARE(Shown(mp_bar), WithButton({"Outer One", "Outer Two"}));
        Focus(inInner);
        QCOMPARE(Shown(mp_bar), WithButton({"Inner One", "Inner Two"}));

        // Moving inside one registered widget keeps the toolbar as it is.
        QPointer<QAction> shown = mp_bar->actions().first();
        Focus(alsoInInner);
        RunDeferredDeletes();
        QCOMPARE(shown.data(), mp_bar->actions().first());

        Focus(loose);
        QCOMPARE(Shown(mp_bar), WithButton({}));

        // A tab widget or its tab bar stands for its current page.
        Focus(onFirstPage);
        QCOMPARE(Shown(mp_bar), WithButton({}));
        tabs->setCurrentIndex(1);
        Focus(tabs->tabBar());
        QCOMPARE(Shown(mp_bar), WithButton({"Inner One", "Inner Two"}));
        Focus(loose);
        mp_bar->OnApplicationFocusChanged(loose, tabs);
        QCOMPARE(Shown(mp_bar), WithButton({"Inner One", "Inner Two"}));

        // Two widgets of one set: the toolbar is rebuilt, and the texts are
        // each widget's own.
        Focus(inOuter);
        shown = mp_bar->actions().first();
        Focus(inTwin);
        RunDeferredDeletes();
        QVERIFY(!shown);
        QCOMPARE(Shown(mp_bar), WithButton({"Outer [on]", "Outer Two"}));
        mp_bar->SetWidgetActionText(twin, "o1", "Outer [off]");
        QCOMPARE(Shown(mp_bar), WithButton({"Outer [off]", "Outer Two"}));
        mp_bar->SetWidgetActionText(outer, "o2", "Outer Two [x]");
        QCOMPARE(Shown(mp_bar), WithButton({"Outer [off]", "Outer Two"}));
        Focus(inOuter);
        QCOMPARE(Shown(mp_bar), WithButton({"Outer One", "Outer Two [x]"}));
        // The former text of the twin is no longer its own.
        Focus(inTwin);
        QCOMPARE(Shown(mp_bar), WithButton({"Outer [off]", "Outer Two"}));

        // An action added to the shown set appears at the next rebuild.
        mp_bar->AddSetAction("outer", "o3", "Outer Three", "", false);
        QCOMPARE(Shown(mp_bar), WithButton({"Outer [off]", "Outer Two"}));
        Focus(inOuter);
        QCOMPARE(Shown(mp_bar), WithButton({"Outer One", "Outer Two [x]", "Outer Three"}));
    }

    void contextIsRightWhenAnActionFires()
    {
        mp_bar->AddSetAction("users", "message", "Message", "", false);
        mp_bar->AddSetAction("users", "browse", "Browse", "", true);
        mp_bar->AddSetAction("plain", "act", "Act", "", true);

        auto* view = AddTo<QWidget>(mp_central);
        auto* tree = AddTo<TreeWidget>(view);
        tree->setColumnCount(2);
        tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
        for (const char* name : {"anna", "björn", "carl"})
            new QTreeWidgetItem(tree, {QString("row ") + name, QString::fromUtf8(name)});
        auto* other = AddTo<QWidget>(mp_central);
        QLineEdit* inOther = AddTo(other);

        mp_bar->RegisterWidget(view, "users");
        mp_bar->AddWidgetKey(view, "room", "lobby");
        mp_bar->AddWidgetColumnKey(view, "user", 1);
        mp_bar->RegisterWidget(other, "plain");
        mp_bar->AddWidgetKey(other, "room", "hall");

        QStringList fired;
        connect(mp_bar, &ActionSetToolBar::ActionTriggered, this, [&](std::string i_id) {
            fired << QString::fromStdString(i_id) + ":" + mp_bar->GetKey("room") + ":" + mp_bar->GetKey("user");
        });
        QVERIFY(ShowActive(mp_window));

        Focus(tree);
        QCOMPARE(mp_bar->GetKey("room"), QString("lobby"));
        // No row selected: the action that needs one does nothing.
        ShownAction(mp_bar, "Browse")->trigger();
        QCOMPARE(fired, QStringList());
        ShownAction(mp_bar, "Message")->trigger();
        QCOMPARE(fired, QStringList({"message:lobby:"}));

        tree->topLevelItem(2)->setSelected(true);
        tree->topLevelItem(1)->setSelected(true);
        const QString first = tree->selectedItems().first()->text(1);
        ShownAction(mp_bar, "Browse")->trigger();
        QCOMPARE(fired.last(), "browse:lobby:" + first);
        tree->clearSelection();
        tree->topLevelItem(1)->setSelected(true);
        ShownAction(mp_bar, "Message")->trigger();
        QCOMPARE(fired.last(), QString("message:lobby:björn"));

        // Without a selection the key keeps its value.
        tree->clearSelection();
        ShownAction(mp_bar, "Browse")->trigger();
        QCOMPARE(fired.size(), 3);
        QCOMPARE(mp_bar->GetKey("user"), QString("björn"));

        // No tree on the focus path: a needs-selection action fires, and the
        // user key set through the tree stays.
        Focus(inOther);
        ShownAction(mp_bar, "Act")->trigger();
        QCOMPARE(fired.last(), QString("act:hall:björn"));
    }

    // A destroyed registered widget leaves none of its items, so a widget
    // built later at its address inherits nothing; the shown one also
    // clears the toolbar.
    void destroyedWidgetsAreForgotten()
    {
        mp_bar->AddSetAction("room", "leave_room", "Leave Room", "", false);
        auto* room = AddTo<QWidget>(mp_central);
        QLineEdit* inRoom = AddTo(room);
        auto* other = AddTo<QWidget>(mp_central);
        QLineEdit* inOther = AddTo(other);
        for (QWidget* widget : {room, other})
            mp_bar->RegisterWidget(widget, "room");
        mp_bar->AddWidgetKey(room, "room", "lobby");
        mp_bar->AddWidgetColumnKey(room, "user", 0);
        mp_bar->SetWidgetActionText(room, "leave_room", "Leave Lobby");
        mp_bar->SetWidgetActionText(other, "leave_room", "Leave Other");
        mp_bar->AddWidgetKey(other, "room", "hall");
        const std::string roomAddress = Value(room);
        QVERIFY(ShowActive(mp_window));

        Focus(inOther);
        Focus(inRoom);
        QCOMPARE(Shown(mp_bar), WithButton({"Leave Lobby"}));
        delete room;
        QCOMPARE(Shown(mp_bar), WithButton({}));
        QVERIFY(!d->GetType("toolbar_action_widget")->HasItem(roomAddress));
        QCOMPARE(Count("action_key_value_pair"), size_t(1));
        QCOMPARE(Count("action_key_column_pair"), size_t(0));
        QVERIFY(!d->GetType("widget_action_text")->HasItem(std::string("Leave Lobby")));
        QVERIFY(d->GetType("widget_action_text")->HasItem(std::string("Leave Other")));

        // A new registration at any address starts from nothing.
        auto* next = AddTo<QWidget>(mp_central);
        QLineEdit* inNext = AddTo(next);
        mp_bar->RegisterWidget(next, "room");
        Focus(inOther);
        Focus(inNext);
        QCOMPARE(Shown(mp_bar), WithButton({"Leave Room"}));
        QCOMPARE(mp_bar->GetKey("room"), QString("hall"));

        // Destroying a widget whose set is not shown changes nothing visible.
        delete other;
        QCOMPARE(Shown(mp_bar), WithButton({"Leave Room"}));
        QCOMPARE(Count("action_key_value_pair"), size_t(0));
        QCOMPARE(Count("widget_action_text"), size_t(0));
    }

    void supportButton()
    {
        QCOMPARE(ActionSetToolBar::DaysLeft(129600), 2LL);
        QCOMPARE(ActionSetToolBar::DaysLeft(43200), 1LL);
        QCOMPARE(ActionSetToolBar::DaysLeft(43199), 0LL);
        QCOMPARE(ActionSetToolBar::DaysLeft(0), 0LL);
        QCOMPARE(ActionSetToolBar::DaysLeft(INT_MAX), 24855LL);
        QCOMPARE(ActionSetToolBar::DaysLeft(LLONG_MAX), LLONG_MAX / 86400 + 1);

        const struct
        {
            int seconds;
            QString text;
        } cases[] = {{129600, "2 Days Left"}, {43200, "1 Days Left"}, {43199, "0 Days Left"},
                     {0, "Support Tavrinel!"}, {-5, "Support Tavrinel!"}, {INT_MAX - 1, "24855 Days Left"}};
        for (const auto& c : cases)
        {
            mp_bar->OnReceivedOwnPrivilegesStatus(c.seconds);
            QCOMPARE(SupportButton(mp_bar)->text(), c.text);
        }

        // Each rebuild reads the stored seconds.
        SetSetting("privileges_time_left", "129600");
        mp_bar->AddSetAction("set", "a", "A", "", false);
        auto* view = AddTo<QWidget>(mp_central);
        QLineEdit* inView = AddTo(view);
        mp_bar->RegisterWidget(view, "set");
        QVERIFY(ShowActive(mp_window));
        Focus(inView);
        QCOMPARE(Shown(mp_bar), WithButton({"A"}, "2 Days Left"));
        QCOMPARE(SupportButton(mp_bar)->focusPolicy(), Qt::NoFocus);

        // The link carries the name encoded; the shown set stays.
        const QString name = QString::fromLatin1("a&b #c+d=%41/?\xe9");
        SetSetting("username", name.toLatin1().toStdString());
        QDesktopServices::setUrlHandler("https", this, "OnUrl");
        QPointer<QAction> shown = mp_bar->actions().first();
        QTest::mouseClick(SupportButton(mp_bar), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(m_urls.size(), 1);
        const QUrl url = m_urls.first();
        QCOMPARE(url.scheme(), QString("https"));
        QCOMPARE(url.host(), QString("www.tavrinel.net"));
        QCOMPARE(url.path(), QString("/qtlogin.php"));
        const QUrlQuery query(url);
        QCOMPARE(query.queryItems().size(), 1);
        QCOMPARE(query.queryItemValue("username", QUrl::FullyDecoded), name);
        QVERIFY(!url.toString(QUrl::FullyEncoded).contains('#'));
        RunDeferredDeletes();
        QCOMPARE(shown.data(), mp_bar->actions().first());
        QCOMPARE(QApplication::focusWidget(), inView);
    }
};

QTEST_MAIN(ActionBarTest)
#include "test_actionbar.moc"
