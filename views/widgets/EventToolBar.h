#pragma once
// The toolbar of pending events. A view that receives something while the
// user is not looking at it (a private chat line, search results, a share
// list) posts an event for itself: a button with a text and an icon.
// Clicking it brings the view to the front and removes the event; views also
// remove their event when they are shown. While the window is inactive,
// each posted event makes the application icon blink through the icons of
// the posted events until the focus moves anywhere in the application.
//
// Pending events are store items (not saved): one connected pair of the
// event's action and its widget, both by address.

#include <QIcon>
#include <QString>
#include <QTimer>
#include <QToolBar>

#include <map>
#include <set>

// What the event toolbar needs of the window it sits in; the main window
// implements it. In a window without it the icon does not blink.
class ApplicationIconHost
{
public:
    // The resource path of an icon, shown as the application's icon.
    virtual void SetApplicationIcon(QString i_resource) = 0;
    // Back to the icon of the connection state.
    virtual void ResetApplicationIcon() = 0;

protected:
    ~ApplicationIconHost() = default;
};

class EventToolBar : public QToolBar
{
    Q_OBJECT

public:
    explicit EventToolBar(QWidget* ip_parent = nullptr);
    ~EventToolBar() override;

    // Posts an event for the widget: a visible widget gets none, a widget
    // with an event keeps its first one. Blinks while the window is inactive.
    // The text (a name, a search) shows as written, of bounded width, whole
    // in the button's tool tip. Both do nothing once the window is being
    // torn down: the toolbar goes with it.
    void AddEvent(QString i_text, QString i_icon, QWidget* ip_widget);
    // Removes the widget's event, if any.
    void RemoveEvent(QWidget* ip_widget);

public slots:
    void OnActionTriggered();
    void OnWidgetDestroyed(QObject* ip_widget);
    void OnIconAlertTimeout();
    void OnApplicationFocusChanged(QWidget* ip_old, QWidget* ip_new);

private:
    // Removes the event of the widget at that address (decimal text).
    void RemoveEventOf(const std::string& i_widgetAddress);
    // Takes the button away; the placeholder comes back when none is left.
    void RemoveButton(QAction* ip_action);
    void AddPlaceholder();
    ApplicationIconHost* IconHost() const;

    bool m_showingPlaceholder = true;
    std::set<QString> m_alertIcons;
    std::map<QString, QIcon> m_icons;
    int m_alertIconIndex = 0;
    QTimer m_iconAlertTimer;
};

extern EventToolBar* eventToolBar;
