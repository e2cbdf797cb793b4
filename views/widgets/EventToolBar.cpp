#include "EventToolBar.h"

#include "GeneralFunctions.h"
#include "LiveObjects.h"
#include "ShowState.h"
#include "ShownNames.h"
#include "StoreLookup.h"

#include <QAction>
#include <QApplication>
#include <QIcon>

#include <iterator>

EventToolBar* eventToolBar = nullptr;

namespace
{
const char* kEventAction = "event_toolbar_action";
const char* kEventWidget = "event_toolbar_widget";
}

EventToolBar::EventToolBar(QWidget* ip_parent) : QToolBar(ip_parent)
{
    eventToolBar = this;
    setObjectName(QStringLiteral("eventToolBar"));
    setMovable(false);

    // Made once per process: tests build several windows.
    Relate(MakeType(kEventAction, true, false, true), MakeType(kEventWidget, true, false, true), One, One);

    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    AddPlaceholder();

    connect(&m_iconAlertTimer, &QTimer::timeout, this, &EventToolBar::OnIconAlertTimeout);
    connect(qApp, &QApplication::focusChanged, this, &EventToolBar::OnApplicationFocusChanged);
}

EventToolBar::~EventToolBar()
{
    m_iconAlertTimer.stop();
    if (eventToolBar == this)
        eventToolBar = nullptr;
}

ApplicationIconHost* EventToolBar::IconHost() const
{
    return dynamic_cast<ApplicationIconHost*>(window());
}

void EventToolBar::AddPlaceholder()
{
    addAction(QString());
    m_showingPlaceholder = true;
}

void EventToolBar::AddEvent(QString i_text, QString i_icon, QWidget* ip_widget)
{
    // The toolbar goes with the window: nothing is built on it any more.
    if (g_showIsOver)
        return;
    if (!window()->isActiveWindow())
    {
        if (m_alertIcons.empty())
        {
            m_alertIconIndex = 0;
            m_iconAlertTimer.start(1000);
        }
        m_alertIcons.insert(i_icon);
    }
    // A view on screen needs no button, and a widget has one event at most.
    if (!ip_widget || ip_widget->isVisible() || FindItem(kEventWidget, Value(ip_widget)))
        return;

    if (m_showingPlaceholder)
    {
        const QList<QAction*> placeholder = actions();
        clear();
        qDeleteAll(placeholder);
        m_showingPlaceholder = false;
    }
    // An icon is read from the resources once, not for every event.
    auto icon = m_icons.find(i_icon);
    if (icon == m_icons.end())
        icon = m_icons.emplace(i_icon, QIcon(i_icon)).first;
    // The text is a name or a search as written: shown so, of bounded
    // width, so no name widens the window; the button shows the icon text.
    const QString shown = BoundedMnemonicName(i_text, fontMetrics());
    QAction* action = addAction(icon->second, shown);
    action->setIconText(shown);
    action->setToolTip(NameToolTip(i_text));
    connect(action, &QAction::triggered, this, &EventToolBar::OnActionTriggered);
    GetItem(kEventWidget, Value(ip_widget)) += GetItem(kEventAction, Value(action));
    connect(ip_widget, &QObject::destroyed, this, &EventToolBar::OnWidgetDestroyed, Qt::UniqueConnection);
}

void EventToolBar::RemoveEvent(QWidget* ip_widget)
{
    // Views that go after the window would take buttons off a toolbar that
    // is going too, and put the placeholder back on it.
    if (ip_widget && !g_showIsOver)
        RemoveEventOf(Value(ip_widget));
}

void EventToolBar::RemoveEventOf(const std::string& i_widgetAddress)
{
    ItemPtr widgetItem = FindItem(kEventWidget, i_widgetAddress);
    if (!widgetItem)
        return;
    ItemPtr actionItem = widgetItem[kEventAction];
    if (QAction* action = FindAction(this, actionItem.AsString()))
        RemoveButton(action);
    widgetItem.Remove();
    actionItem.Remove();
}

void EventToolBar::RemoveButton(QAction* ip_action)
{
    removeAction(ip_action);
    // The action may be the sender of the signal that got us here.
    ip_action->deleteLater();
    if (actions().isEmpty())
        AddPlaceholder();
}

void EventToolBar::OnActionTriggered()
{
    if (g_showIsOver)
        return;
    auto* action = qobject_cast<QAction*>(sender());
    if (!action)
        return;
    ItemPtr actionItem = FindItem(kEventAction, Value(action));
    ItemPtr widgetItem = actionItem[kEventWidget];
    const std::string widgetAddress = widgetItem.AsString();

    RemoveButton(action);
    actionItem.Remove();
    widgetItem.Remove();

    // Found among the live widgets: its address alone proves nothing.
    if (QWidget* widget = FindWidget(widgetAddress))
        FocusWidgetAndParents(widget);
}

void EventToolBar::OnWidgetDestroyed(QObject* ip_widget)
{
    // The object is past its widget part here: only its address is used.
    if (g_showIsOver)
        return;
    RemoveEventOf(Value(ip_widget));
}

void EventToolBar::OnIconAlertTimeout()
{
    if (m_alertIcons.empty())
        return;
    ApplicationIconHost* host = IconHost();
    if (m_alertIconIndex < int(m_alertIcons.size()))
    {
        const QString icon = *std::next(m_alertIcons.begin(), m_alertIconIndex);
        ++m_alertIconIndex;
        if (host)
            host->SetApplicationIcon(icon);
    }
    else
    {
        m_alertIconIndex = 0;
        if (host)
            host->ResetApplicationIcon();
    }
}

void EventToolBar::OnApplicationFocusChanged(QWidget*, QWidget*)
{
    // Widgets destroyed during teardown move the focus; the window they
    // would reach is half gone.
    if (g_showIsOver)
        return;
    m_alertIcons.clear();
    m_iconAlertTimer.stop();
    if (ApplicationIconHost* host = IconHost())
        host->ResetApplicationIcon();
}
