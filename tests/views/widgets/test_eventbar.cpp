// The event toolbar: one button per hidden widget, blinking only while the
// window is inactive, a click brings the view forward through nested tabs.

#include "views/widgets/WidgetTestSupport.h"

#include "Data.h"
#include "EventToolBar.h"

#include <QLineEdit>
#include <QMainWindow>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

namespace
{
// A window that records the application icons it is told to show.
class IconWindow : public QMainWindow, public ApplicationIconHost
{
public:
    void SetApplicationIcon(QString i_resource) override { m_icons << i_resource; }
    void ResetApplicationIcon() override { m_icons << "normal"; }
    QStringList m_icons;
};

QStringList Buttons(QToolBar* ip_bar)
{
    QStringList texts;
    for (QAction* action : ip_bar->actions())
        texts << action->text();
    return texts;
}

QAction* Button(QToolBar* ip_bar, const QString& i_text)
{
    for (QAction* action : ip_bar->actions())
        if (action->text() == i_text)
            return action;
    return nullptr;
}
}

class EventBarTest : public QObject
{
    Q_OBJECT

private:
    IconWindow* mp_window = nullptr;
    EventToolBar* mp_bar = nullptr;
    QTabWidget* mp_outer = nullptr;
    QTabWidget* mp_inner = nullptr;
    QLineEdit* mp_start = nullptr;
    // On the second inner page of the second outer page: hidden at first.
    QLineEdit* mp_chat = nullptr;
    QLineEdit* mp_results = nullptr;

    // A new page of the tabs that holds the widget.
    template <class W>
    static W* OnPage(QTabWidget* ip_tabs, W* ip_content)
    {
        auto* page = new QWidget;
        (new QVBoxLayout(page))->addWidget(ip_content);
        ip_tabs->addTab(page, QString());
        return ip_content;
    }

private slots:
    void init()
    {
        d->Reset();
        mp_window = new IconWindow;
        mp_bar = new EventToolBar(nullptr);
        mp_window->addToolBar(mp_bar);
        QCOMPARE(eventToolBar, mp_bar);
        mp_outer = new QTabWidget;
        mp_window->setCentralWidget(mp_outer);
        mp_start = OnPage(mp_outer, new QLineEdit);
        mp_inner = OnPage(mp_outer, new QTabWidget);
        mp_results = OnPage(mp_inner, new QLineEdit);
        mp_chat = OnPage(mp_inner, new QLineEdit);
        QVERIFY(ShowActive(mp_window));
        mp_start->setFocus();
        mp_window->m_icons.clear();
    }

    void cleanup()
    {
        delete mp_window;
        QVERIFY(!eventToolBar);
        RunDeferredDeletes();
        d->Reset();
    }

    void oneButtonPerHiddenWidget()
    {
        QCOMPARE(Buttons(mp_bar), QStringList({""}));
        mp_bar->AddEvent("Chat", ":/icons/chat_icon", mp_chat);
        mp_bar->AddEvent("Chat again", ":/icons/chat_icon", mp_chat);
        mp_bar->AddEvent("Start", ":/icons/chat_icon", mp_start);
        QCOMPARE(Buttons(mp_bar), QStringList({"Chat"}));
        mp_bar->AddEvent("Results", ":/icons/search_icon", mp_results);
        QCOMPARE(Buttons(mp_bar), QStringList({"Chat", "Results"}));
        QCOMPARE(d->GetType("event_toolbar_widget")->ItemCount(), size_t(2));

        // While the window is active nothing blinks.
        mp_bar->OnIconAlertTimeout();
        QCOMPARE(mp_window->m_icons, QStringList());

        mp_bar->RemoveEvent(mp_chat);
        mp_bar->RemoveEvent(mp_chat);
        QCOMPARE(Buttons(mp_bar), QStringList({"Results"}));
        mp_bar->RemoveEvent(mp_results);
        QCOMPARE(Buttons(mp_bar), QStringList({""}));
        QCOMPARE(d->GetType("event_toolbar_widget")->ItemCount(), size_t(0));
        QCOMPARE(d->GetType("event_toolbar_action")->ItemCount(), size_t(0));
        mp_bar->AddEvent("Chat", ":/icons/chat_icon", mp_chat);
        QCOMPARE(Buttons(mp_bar), QStringList({"Chat"}));

        // A destroyed widget takes its button along.
        delete mp_chat;
        QCOMPARE(Buttons(mp_bar), QStringList({""}));
        QCOMPARE(d->GetType("event_toolbar_widget")->ItemCount(), size_t(0));
    }

    void blinksOnlyWhileInactive()
    {
        QWidget other;
        auto* layout = new QVBoxLayout(&other);
        layout->addWidget(new QLineEdit);
        auto* otherEdit = new QLineEdit;
        layout->addWidget(otherEdit);
        QVERIFY(ShowActive(&other));
        QVERIFY(!mp_window->isActiveWindow());
        mp_window->m_icons.clear();

        // Visible widgets blink without a button; one icon counts once.
        mp_bar->AddEvent("Search", ":/icons/search_icon", mp_start);
        mp_bar->AddEvent("Chat", ":/icons/chat_icon", mp_chat);
        mp_bar->AddEvent("Chat", ":/icons/chat_icon", mp_chat);
        QCOMPARE(Buttons(mp_bar), QStringList({"Chat"}));
        for (int k = 0; k < 4; ++k)
            mp_bar->OnIconAlertTimeout();
        QCOMPARE(mp_window->m_icons,
                 QStringList({":/icons/chat_icon", ":/icons/search_icon", "normal", ":/icons/chat_icon"}));
        // The timer runs on its own too.
        QTRY_VERIFY_WITH_TIMEOUT(mp_window->m_icons.size() > 4, 10000);

        // Any focus change stops it; the buttons stay.
        otherEdit->setFocus();
        QCOMPARE(QApplication::focusWidget(), otherEdit);
        QCOMPARE(mp_window->m_icons.last(), QString("normal"));
        const int shown = mp_window->m_icons.size();
        mp_bar->OnIconAlertTimeout();
        QCOMPARE(mp_window->m_icons.size(), shown);
        QCOMPARE(Buttons(mp_bar), QStringList({"Chat"}));
    }

    void clickBringsTheViewForward()
    {
        mp_bar->AddEvent("Chat", ":/icons/chat_icon", mp_chat);
        mp_bar->AddEvent("Results", ":/icons/search_icon", mp_results);
        QVERIFY(!mp_chat->isVisible());

        Button(mp_bar, "Chat")->trigger();
        QCOMPARE(mp_outer->currentIndex(), 1);
        QCOMPARE(mp_inner->currentIndex(), 1);
        QCOMPARE(QApplication::focusWidget(), mp_chat);
        QCOMPARE(Buttons(mp_bar), QStringList({"Results"}));
        QCOMPARE(d->GetType("event_toolbar_widget")->ItemCount(), size_t(1));
        RunDeferredDeletes();

        Button(mp_bar, "Results")->trigger();
        QCOMPARE(mp_inner->currentIndex(), 0);
        QCOMPARE(QApplication::focusWidget(), mp_results);
        QCOMPARE(Buttons(mp_bar), QStringList({""}));
    }

    // The window goes with events pending and the icon blinking.
    void closingWithEventsPending()
    {
        QWidget other;
        QVERIFY(ShowActive(&other));
        mp_bar->AddEvent("Chat", ":/icons/chat_icon", mp_chat);
        mp_bar->AddEvent("Results", ":/icons/search_icon", mp_results);
        mp_bar->OnIconAlertTimeout();
        QVERIFY(ShowActive(mp_window));
        mp_chat->setVisible(true);
        mp_start->setFocus();
        mp_bar->AddEvent("Chat", ":/icons/chat_icon", mp_chat);
        delete mp_window;
        mp_window = nullptr;
        QVERIFY(!eventToolBar);
    }
};

QTEST_MAIN(EventBarTest)
#include "test_eventbar.moc"
