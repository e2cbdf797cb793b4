#pragma once
// The main window's context toolbar. Views define named action sets and
// register their widgets with one set each; the toolbar shows the set of the
// registered widget that holds the keyboard focus. When the user triggers an
// action, the toolbar first records its context as keys (fixed values of the
// widget, and column texts of the selected row of the tree on the focus
// path), then emits ActionTriggered with the action's id. Every view
// connected to that signal gets every id, acts on its own ids only and reads
// the context with GetKey.
//
// Calling order for a view: AddSetAction for each action of its sets, in the
// order they are to appear; RegisterWidget; then AddWidgetKey,
// AddWidgetColumnKey and SetWidgetActionText for the registered widget;
// connect ActionTriggered.
//
// Definitions, registrations and context values are store items (none is
// saved); the toolbar itself holds only what it shows. At its right end sits
// the support button with the days of privileges left.

#include <QPointer>
#include <QString>
#include <QToolBar>

#include <cstdint>
#include <string>

#include "Data.h"

class QPushButton;
class QTreeWidget;

class ActionSetToolBar : public QToolBar
{
    Q_OBJECT

public:
    explicit ActionSetToolBar(QWidget* ip_parent = nullptr);
    ~ActionSetToolBar() override;

    // Follows the server connection's privileges report; once it exists.
    void Init();

    // One more action of a set: its id (what ActionTriggered reports), text,
    // icon resource path, and whether it needs a selected row in the tree on
    // the focus path. The same id twice gives two actions.
    void AddSetAction(std::string i_set, std::string i_id, std::string i_text, std::string i_icon,
                      bool i_needsListSelection);
    // The widget shows the set while it, or a widget inside it, has the
    // focus; a later call replaces the set. Forgotten when the widget goes.
    void RegisterWidget(QWidget* ip_widget, QString i_set);
    // A context key that takes the value whenever the focus enters the
    // registered widget. Values are carried one character per byte, so a
    // name's bytes pass whole: pass FromLatin1 of them, read ToLatin1.
    void AddWidgetKey(QWidget* ip_widget, QString i_key, QString i_value);
    // A context key that takes the text of the column of the first selected
    // row when an action of the widget's set is triggered; the bytes of a
    // name cell (NameCells.h) instead of its text.
    void AddWidgetColumnKey(QWidget* ip_widget, QString i_key, int i_column);
    // The text of the action with that id while the widget's set is shown;
    // applied at once when it is shown now.
    void SetWidgetActionText(QWidget* ip_widget, QString i_id, QString i_text);
    // The current value of a context key; "" when it has none.
    QString GetKey(QString i_key);

    // Days of privileges in whole days, halves going up; never overflows.
    static long long DaysLeft(long long i_seconds);

signals:
    void ActionTriggered(std::string i_action);

public slots:
    void OnActionTriggered(bool i_checked);
    void OnApplicationFocusChanged(QWidget* ip_oldWidget, QWidget* ip_widget);
    void OnSupportTavrinelButtonClicked();
    void OnReceivedOwnPrivilegesStatus(int i_seconds);
    void OnWidgetDestroyed(QObject* ip_widget);

private:
    void ChangeSet(QWidget* ip_widget, const std::string& i_set);
    void Clear();
    void ClearAndDeleteActions();
    void AddSupportTavrinelButton();
    // Sets the context key to the value (both byte strings).
    static void SetActiveKey(const std::string& i_key, const std::string& i_value);
    // Drops the destroyed widget's registration: its widget item, key pairs
    // and the text items no other widget uses.
    static void ForgetWidget(ItemPtr i_widgetItem);

    std::string m_actionSet;
    ItemPtr m_widgetItem;
    // The tree whose selection feeds the column keys; guarded, since it may
    // go before an action is triggered.
    QPointer<QTreeWidget> mp_treeWidget;
    // Only compared, never dereferenced.
    QWidget* mp_widget = nullptr;
    uint64_t m_actionOrder = 0;
    bool m_inFocusChange = false;
    QPointer<QPushButton> mp_supportButton;
};

extern ActionSetToolBar* actionBar;
