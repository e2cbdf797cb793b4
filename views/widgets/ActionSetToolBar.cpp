#include "ActionSetToolBar.h"

#include "LiveObjects.h"
#include "NameCells.h"
#include "ShowState.h"
#include "StoreLookup.h"
#include "TextConversion.h"
#include "server.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QUrl>
#include <QUrlQuery>

ActionSetToolBar* actionBar = nullptr;

namespace
{
const char* kSet = "toolbar_action_set";
const char* kAction = "toolbar_action";
const char* kId = "toolbar_action_id";
const char* kOrder = "toolbar_action_order";
const char* kWidget = "toolbar_action_widget";
const char* kKeyValuePair = "action_key_value_pair";
const char* kKey = "action_key";
const char* kValue = "action_value";
const char* kKeyColumnPair = "action_key_column_pair";
const char* kColumn = "action_column";
const char* kActiveKey = "active_action_key";
const char* kActiveValue = "active_action_value";
const char* kWidgetText = "widget_action_text";
const char* kObject = "toolbar_action_object";
const char* kIcon = "toolbar_action_icon";
const char* kText = "toolbar_action_text";
const char* kNeedsSelection = "needs_list_selection";

// A destroyed object is past its widget part: compare addresses only.
bool SameAddress(const void* ip_a, const void* ip_b)
{
    return ip_a == ip_b;
}

// Enters tab containers: a tab widget, or its tab bar, stands for its page.
QWidget* InnermostPage(QWidget* ip_widget)
{
    QWidget* current = ip_widget;
    for (;;)
    {
        QTabWidget* tabs = qobject_cast<QTabWidget*>(current);
        if (!tabs)
            if (auto* bar = qobject_cast<QTabBar*>(current))
                tabs = qobject_cast<QTabWidget*>(bar->parentWidget());
        if (!tabs || !tabs->currentWidget())
            return current;
        current = tabs->currentWidget();
    }
}
}

ActionSetToolBar::ActionSetToolBar(QWidget* ip_parent) : QToolBar(ip_parent)
{
    actionBar = this;
    connect(qApp, &QApplication::focusChanged, this, &ActionSetToolBar::OnApplicationFocusChanged);

    // Made once per process: tests build several windows.
    Type* set = MakeType(kSet, true, false, true);
    Type* action = MakeType(kAction, true, true, true);
    Type* id = MakeType(kId, true, false, true);
    Type* order = MakeType(kOrder, false, false, true);
    Type* widget = MakeType(kWidget, true, false, true);
    Type* keyValuePair = MakeType(kKeyValuePair, true, true, true);
    Type* key = MakeType(kKey, false, false, true);
    Type* value = MakeType(kValue, false, false, true);
    Type* keyColumnPair = MakeType(kKeyColumnPair, true, true, true);
    Type* column = MakeType(kColumn, false, false, true);
    Type* activeKey = MakeType(kActiveKey, true, false, true);
    Type* activeValue = MakeType(kActiveValue, false, false, true);
    Type* widgetText = MakeType(kWidgetText, false, false, true);
    Type* object = MakeType(kObject, false, false, true);
    Type* icon = MakeType(kIcon, false, false, true);
    Type* text = MakeType(kText, false, false, true);
    Type* needsSelection = MakeType(kNeedsSelection, false, true, true);

    Relate(action, set, Many, One);
    Relate(action, id, Many, One);
    Relate(action, order, Many, One);
    Relate(action, icon, Many, One);
    Relate(action, text, Many, One);
    Relate(action, needsSelection, Many, One);
    Relate(widget, set, Many, One);
    Relate(keyValuePair, widget, Many, One);
    Relate(keyValuePair, key, Many, One);
    Relate(keyValuePair, value, Many, One);
    Relate(keyColumnPair, widget, Many, One);
    Relate(keyColumnPair, key, Many, One);
    Relate(keyColumnPair, column, Many, One);
    Relate(activeKey, activeValue, Many, One);
    Relate(widgetText, widget, Many, Many);
    Relate(widgetText, id, Many, Many);
    Relate(action, object, One, One);

    AddSupportTavrinelButton();
}

ActionSetToolBar::~ActionSetToolBar()
{
    if (actionBar == this)
        actionBar = nullptr;
}

void ActionSetToolBar::Init()
{
    if (gp_server)
        connect(gp_server, &Server::ReceivedOwnPrivilegesStatus, this,
                &ActionSetToolBar::OnReceivedOwnPrivilegesStatus);
}

// ---------------------------------------------------------------- definitions

void ActionSetToolBar::AddSetAction(std::string i_set, std::string i_id, std::string i_text,
                                    std::string i_icon, bool i_needsListSelection)
{
    ItemPtr action = NewNullItem(kAction);
    action += GetItem(kSet, i_set);
    action += GetItem(kId, i_id);
    action += GetItem(kIcon, i_icon);
    action += GetItem(kText, i_text);
    // One sequence over all sets gives the order of the calls.
    action += GetItem(kOrder, Value(static_cast<unsigned long long>(m_actionOrder++)));
    if (i_needsListSelection)
        if (Type* flag = d->HasType(kNeedsSelection))
            action += ItemPtr(flag->GetGlobalNullItem());
}

void ActionSetToolBar::RegisterWidget(QWidget* ip_widget, QString i_set)
{
    if (!ip_widget)
        return;
    GetItem(kWidget, Value(ip_widget)) += GetItem(kSet, ToLatin1(i_set));
    connect(ip_widget, &QObject::destroyed, this, &ActionSetToolBar::OnWidgetDestroyed, Qt::UniqueConnection);
}

namespace
{
// Callers register first; a widget that never was is ignored.
void AddKeyPair(QWidget* ip_widget, const char* ip_pairType, const QString& i_key, const char* ip_sourceType,
                const Value& i_source)
{
    ItemPtr widget = FindItem(kWidget, Value(ip_widget));
    if (!widget)
        return;
    ItemPtr pair = NewNullItem(ip_pairType);
    pair += GetItem(kKey, ToLatin1(i_key));
    pair += GetItem(ip_sourceType, i_source);
    pair += widget;
}
} // namespace

void ActionSetToolBar::AddWidgetKey(QWidget* ip_widget, QString i_key, QString i_value)
{
    AddKeyPair(ip_widget, kKeyValuePair, i_key, kValue, ToLatin1(i_value));
}

void ActionSetToolBar::AddWidgetColumnKey(QWidget* ip_widget, QString i_key, int i_column)
{
    AddKeyPair(ip_widget, kKeyColumnPair, i_key, kColumn, Value(i_column));
}

void ActionSetToolBar::SetWidgetActionText(QWidget* ip_widget, QString i_id, QString i_text)
{
    ItemPtr widget = FindItem(kWidget, Value(ip_widget));
    ItemPtr id = FindItem(kId, ToLatin1(i_id));
    if (!widget || !id)
        return;
    if (ItemPtr former = d->GetItem(widget, id, kWidgetText))
        former -= widget;
    ItemPtr text = GetItem(kWidgetText, ToLatin1(i_text));
    text += widget;
    text += id;

    if (ip_widget != mp_widget)
        return;
    for (Item* object : AllItems(kObject))
        if (ItemPtr(object)[kAction][kId] == id)
            if (QAction* action = FindAction(this, object->GetValue()))
                action->setText(FromLatin1(text.AsString()));
}

QString ActionSetToolBar::GetKey(QString i_key)
{
    return FromLatin1(GetItem(kActiveKey, ToLatin1(i_key))[kActiveValue].AsString());
}

void ActionSetToolBar::SetActiveKey(const std::string& i_key, const std::string& i_value)
{
    // The relation holds one value per key: the former one is replaced.
    GetItem(kActiveKey, i_key) += GetItem(kActiveValue, i_value);
}

// ---------------------------------------------------------------- focus

void ActionSetToolBar::OnApplicationFocusChanged(QWidget*, QWidget* ip_widget)
{
    if (g_showIsOver || m_inFocusChange || !ip_widget)
        return;
    m_inFocusChange = true;

    // One look-up per level, from the focused widget up to the first
    // registered one; the first tree on the way feeds the column keys.
    mp_treeWidget = nullptr;
    QWidget* registered = nullptr;
    ItemPtr widgetItem;
    for (QWidget* widget = InnermostPage(ip_widget); widget; widget = widget->parentWidget())
    {
        widgetItem = FindItem(kWidget, Value(widget));
        if (!mp_treeWidget)
            mp_treeWidget = qobject_cast<QTreeWidget*>(widget);
        if (widgetItem)
        {
            registered = widget;
            break;
        }
    }
    if (!registered)
    {
        Clear();
        AddSupportTavrinelButton();
        m_inFocusChange = false;
        return;
    }

    m_widgetItem = widgetItem;
    ChangeSet(registered, widgetItem[kSet].AsString());
    for (Item* pair : widgetItem.GetItems(kKeyValuePair))
        SetActiveKey(ItemPtr(pair)[kKey].AsString(), ItemPtr(pair)[kValue].AsString());
    m_inFocusChange = false;
}

// ---------------------------------------------------------------- showing

void ActionSetToolBar::ChangeSet(QWidget* ip_widget, const std::string& i_set)
{
    if (i_set == m_actionSet && ip_widget == mp_widget)
        return;
    m_actionSet = i_set;
    mp_widget = ip_widget;
    ClearAndDeleteActions();

    ItemPtr widget = FindItem(kWidget, Value(ip_widget));
    for (Item* item : GetItem(kSet, i_set).GetItems(kAction).SortNumericBy(kOrder, true))
    {
        ItemPtr action(item);
        ItemPtr id = action[kId];
        std::string text = action[kText].AsString();
        if (ItemPtr replacement = d->GetItem(widget, id, kWidgetText))
            text = replacement.AsString();
        QAction* shown = addAction(QIcon(FromLatin1(action[kIcon].AsString())), FromLatin1(text));
        connect(shown, &QAction::triggered, this, &ActionSetToolBar::OnActionTriggered);
        action += GetItem(kObject, Value(shown));
    }
    AddSupportTavrinelButton();
}

void ActionSetToolBar::Clear()
{
    m_actionSet.clear();
    ClearAndDeleteActions();
}

void ActionSetToolBar::ClearAndDeleteActions()
{
    for (QAction* action : actions())
    {
        removeAction(action);
        // A shown action may be the sender of the signal that got us here;
        // a widget action takes its widget with it.
        action->deleteLater();
    }
    // No item names an action that is gone.
    AllItems(kObject).Remove();
}

void ActionSetToolBar::AddSupportTavrinelButton()
{
    addAction(QString());

    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    addWidget(spacer);

    auto* button = new QPushButton(tr("Support Tavrinel!"));
    addWidget(button);
    mp_supportButton = button;
    const long long seconds = ParseDecimal(GetSetting("privileges_time_left"));
    if (seconds > 0)
        button->setText(tr("%1 Days Left").arg(DaysLeft(seconds)));
    // Pressing it leaves the focus, and so the shown set, where they are.
    button->setFocusPolicy(Qt::NoFocus);
    connect(button, &QPushButton::clicked, this, &ActionSetToolBar::OnSupportTavrinelButtonClicked);
}

// ---------------------------------------------------------------- triggering

void ActionSetToolBar::OnActionTriggered(bool)
{
    auto* shown = qobject_cast<QAction*>(sender());
    ItemPtr action = FindItem(kObject, Value(shown))[kAction];
    if (!shown || !action)
        return;

    if (QTreeWidget* tree = mp_treeWidget.data())
    {
        const QList<QTreeWidgetItem*> rows = tree->selectedItems();
        if (rows.isEmpty())
        {
            if (action.IsConnected(kNeedsSelection))
                return;
        }
        else
        {
            QTreeWidgetItem* row = rows.first();
            for (Item* pair : m_widgetItem.GetItems(kKeyColumnPair))
            {
                // A name cell gives its bytes: its text need not lead back to them.
                const int column = int(ItemPtr(pair)[kColumn].AsInt());
                const QVariant name = row->data(column, kNameBytesRole);
                SetActiveKey(ItemPtr(pair)[kKey].AsString(),
                             name.isValid() ? name.toByteArray().toStdString()
                                            : ToLatin1(row->data(column, Qt::DisplayRole).toString()));
            }
        }
    }
    emit ActionTriggered(action[kId].AsString());
}

// ---------------------------------------------------------------- destroyed widgets

void ActionSetToolBar::OnWidgetDestroyed(QObject* ip_widget)
{
    if (g_showIsOver)
        return;
    ItemPtr widgetItem = FindItem(kWidget, Value(ip_widget));
    if (SameAddress(ip_widget, mp_widget))
    {
        // A widget built later at this address is a new one.
        mp_widget = nullptr;
        m_widgetItem = ItemPtr();
        Clear();
        AddSupportTavrinelButton();
    }
    if (widgetItem == m_widgetItem)
        m_widgetItem = ItemPtr();
    ForgetWidget(widgetItem);
}

void ActionSetToolBar::ForgetWidget(ItemPtr i_widgetItem)
{
    if (!i_widgetItem)
        return;
    i_widgetItem.GetItems(kKeyValuePair).Remove();
    i_widgetItem.GetItems(kKeyColumnPair).Remove();
    const ItemSet texts = i_widgetItem.GetItems(kWidgetText);
    i_widgetItem.Remove();
    // A replacement text that no other widget shows is of no use any more.
    for (Item* text : texts)
        if (!text->IsConnected(kWidget))
            text->Remove();
}

// ---------------------------------------------------------------- support button

long long ActionSetToolBar::DaysLeft(long long i_seconds)
{
    // Whole days, halves going up, without the overflow of adding half a
    // day first.
    if (i_seconds <= 0)
        return 0;
    return i_seconds / 86400 + (i_seconds % 86400 >= 43200 ? 1 : 0);
}

void ActionSetToolBar::OnReceivedOwnPrivilegesStatus(int i_seconds)
{
    if (!mp_supportButton)
        return;
    mp_supportButton->setText(i_seconds < 1 ? tr("Support Tavrinel!") : tr("%1 Days Left").arg(DaysLeft(i_seconds)));
}

void ActionSetToolBar::OnSupportTavrinelButtonClicked()
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QString::fromLatin1(Server::WEB_HOST));
    url.setPath(QStringLiteral("/qtlogin.php"));
    // Encoded, so no character of the name can change the query. The query
    // takes "%" as the start of an escape: a "%" of the name is escaped first.
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("username"),
                       FromName(GetSetting("username")).replace(QLatin1Char('%'), QLatin1String("%25")));
    url.setQuery(query);
    QDesktopServices::openUrl(url);
}
