#include "UserGroupConfigDialog.h"

#include "ui_UserGroupConfigDialog.h"

#include "NameCells.h"
#include "StoreLookup.h"
#include "TextConversion.h"

UserGroupConfigDialog* userGroupConfigDialog = nullptr;

UserGroupConfigDialog::UserGroupConfigDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_UserGroupConfigDialog)
{
    userGroupConfigDialog = this;
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);

    if (Type* groups = d->HasType("user_list_group"))
    {
        AddHandler(groups->itemAdded, this, &UserGroupConfigDialog::OnUserGroupAdded);
        AddHandler(groups->itemRemoved, this, &UserGroupConfigDialog::OnUserGroupRemoved);
    }
    for (Item* group : AllItems("user_list_group"))
        OnUserGroupAdded(group);
    mp_ui->prioritySpinBox->setEnabled(false);

    connect(mp_ui->groupList, &QListWidget::currentItemChanged, this,
            &UserGroupConfigDialog::OnCurrentGroupItemChanged);
    connect(mp_ui->prioritySpinBox, &QSpinBox::valueChanged, this,
            &UserGroupConfigDialog::OnPrioritySpinValueChanged);
}

UserGroupConfigDialog::~UserGroupConfigDialog()
{
    delete mp_ui;
    mp_ui = nullptr;
    if (userGroupConfigDialog == this)
        userGroupConfigDialog = nullptr;
}

void UserGroupConfigDialog::OnCurrentGroupItemChanged(QListWidgetItem* ip_currentItem, QListWidgetItem*)
{
    if (!ip_currentItem)
    {
        mp_ui->prioritySpinBox->setEnabled(false);
        mp_ui->groupBox->setTitle(QString());
        return;
    }
    mp_ui->prioritySpinBox->setEnabled(true);
    mp_ui->groupBox->setTitle(ip_currentItem->text());
    const ItemPtr group = GetItem("user_list_group", NameOfCell(ip_currentItem));
    // Runs the value-changed slot when the value differs, which writes the
    // same priority back onto this group (the row is already current).
    mp_ui->prioritySpinBox->setValue(int(group["group_download_priority"].AsInt()));
}

void UserGroupConfigDialog::OnPrioritySpinValueChanged(int i_value)
{
    QListWidgetItem* row = mp_ui->groupList->currentItem();
    if (!row)
        return;
    const ItemPtr group = GetItem("user_list_group", NameOfCell(row));
    if (!group)
        return;
    if (i_value < 1)
    {
        group.Disconnect("group_download_priority");
        return;
    }
    // The relation holds one priority per group: connecting the new one lets
    // go of the old.
    const ItemPtr priority = GetItem("group_download_priority", i_value);
    if (priority)
        group += priority;
}

void UserGroupConfigDialog::OnUserGroupAdded(Item* ip_group)
{
    auto* row = new QListWidgetItem;
    SetNameCell(row, ip_group->AsString());
    mp_ui->groupList->addItem(row);
}

void UserGroupConfigDialog::OnUserGroupRemoved(Item* ip_group)
{
    // By bytes: names that are not valid UTF-8 can show alike.
    QListWidget* list = mp_ui->groupList;
    for (int k = 0; k < list->count(); ++k)
        if (NameOfCell(list->item(k)) == ip_group->AsString())
        {
            delete list->item(k);
            return;
        }
}
