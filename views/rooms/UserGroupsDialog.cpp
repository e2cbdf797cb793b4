#include "UserGroupsDialog.h"

#include "ui_UserGroupsDialog.h"

#include "FixedPlaces.h"
#include "NameCells.h"
#include "ShownNames.h"
#include "StoreLookup.h"
#include "TextConversion.h"

UserGroupsDialog::UserGroupsDialog(std::string i_user, QWidget* ip_parent)
    : QDialog(ip_parent), m_user(std::move(i_user)), mp_ui(new Ui_UserGroupsDialog)
{
    mp_ui->setupUi(this);
    FitFixedPlaces(this);
    // Nothing shows a closed one again; kept, each would hold its store
    // handler until exit.
    setAttribute(Qt::WA_DeleteOnClose);
    connect(mp_ui->newGroupButton, &QPushButton::clicked, this, &UserGroupsDialog::OnNewGroupButtonClicked);

    if (Type* groups = d->HasType("user_list_group"))
        AddHandler(groups->itemAdded, this, &UserGroupsDialog::OnUserGroupAdded);

    setWindowTitle(ShownTitle(QStringLiteral("User Groups for [") + BoundedName(FromName(m_user), fontMetrics()) +
                              QStringLiteral("]")));

    const ItemPtr entry = GetItem("user", m_user)["in_user_list"];
    for (Item* group : AllItems("user_list_group"))
        AddGroupRow(group->AsString(), entry && entry.IsConnected(group));

    // Connected after filling, so the rows above write nothing.
    connect(mp_ui->groupListWidget, &QListWidget::itemChanged, this, &UserGroupsDialog::OnGroupItemChanged);
}

UserGroupsDialog::~UserGroupsDialog()
{
    delete mp_ui;
}

void UserGroupsDialog::AddGroupRow(const std::string& i_group, bool i_checked)
{
    auto* row = new QListWidgetItem;
    SetNameCell(row, i_group);
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(i_checked ? Qt::Checked : Qt::Unchecked);
    mp_ui->groupListWidget->addItem(row);
}

void UserGroupsDialog::OnGroupItemChanged(QListWidgetItem* ip_item)
{
    const Qt::CheckState state = ip_item->checkState();
    if (state == Qt::PartiallyChecked)
        return;
    const std::string name = NameOfCell(ip_item);
    if (name.empty())
        return;
    const ItemPtr entry = GetItem("user", m_user)["in_user_list"];
    // The user may have left the list while the dialog was open.
    if (!entry)
        return;
    const ItemPtr group = GetItem("user_list_group", name);
    if (!group)
        return;
    if (state == Qt::Checked && !entry.IsConnected(group))
        entry += group;
    else if (state == Qt::Unchecked && entry.IsConnected(group))
        entry -= group;
}

void UserGroupsDialog::OnNewGroupButtonClicked()
{
    const QString name = mp_ui->newGroupEdit->text().trimmed();
    mp_ui->newGroupEdit->clear();
    if (name.isEmpty())
        return;
    // A new group reaches every open dialog, this one included, through the
    // type's item-added event; an existing name changes nothing.
    GetItem("user_list_group", ToName(name));
}

void UserGroupsDialog::OnUserGroupAdded(Item* ip_group)
{
    AddGroupRow(ip_group->AsString(), false);
}
