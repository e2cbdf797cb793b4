#include "AddSharedFolderDialog.h"
#include "ui_AddSharedFolderDialog.h"

#include "Data.h"
#include "FixedPlaces.h"
#include "NameCells.h"
#include "SharedFoldersManager.h"
#include "TextConversion.h"

#include <QFileDialog>

AddSharedFolderDialog::AddSharedFolderDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui::AddSharedFolderDialog)
{
    mp_ui->setupUi(this);
    FitFixedPlaces(this);
    connect(mp_ui->buttonBox, &QDialogButtonBox::accepted, this, &AddSharedFolderDialog::accept);
    connect(mp_ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(mp_ui->pushButton, &QPushButton::clicked, this, &AddSharedFolderDialog::OnSelectFolderClicked);
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    connect(mp_ui->everyoneCheckBox, &QCheckBox::checkStateChanged, this,
            [this](Qt::CheckState i_state) { OnAccessibleToEveryoneCheckStateChanged(int(i_state)); });
    connect(mp_ui->userListCheckBox, &QCheckBox::checkStateChanged, this,
            [this](Qt::CheckState i_state) { OnAccessibleToUserListCheckStateChanged(int(i_state)); });
#else
    connect(mp_ui->everyoneCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged);
    connect(mp_ui->userListCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged);
#endif
    setAttribute(Qt::WA_DeleteOnClose);

    if (Type* groups = d->HasType("user_list_group"))
    {
        for (Item* group : groups->GetItems())
        {
            auto* row = new QListWidgetItem(mp_ui->groupsListWidget);
            SetNameCell(row, group->GetValue());
            row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
            row->setCheckState(Qt::Unchecked);
        }
    }
    mp_ui->groupsListWidget->sortItems(Qt::AscendingOrder);
}

AddSharedFolderDialog::~AddSharedFolderDialog()
{
    delete mp_ui;
}

void AddSharedFolderDialog::SetSelectedFolder(const QString& i_folder)
{
    mp_ui->selectedFolderEdit->setText(i_folder);
}

void AddSharedFolderDialog::OnSelectFolderClicked()
{
    QFileDialog chooser(this, tr("Select Folder to Share"));
    chooser.setFileMode(QFileDialog::Directory);
    chooser.setOption(QFileDialog::ShowDirsOnly, true);
    if (chooser.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = chooser.selectedFiles();
    if (!chosen.isEmpty())
        SetSelectedFolder(chosen.first());
}

void AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged(int i_checkState)
{
    if (i_checkState == Qt::Checked)
    {
        mp_ui->userListCheckBox->setEnabled(false);
        mp_ui->userListCheckBox->setChecked(true);
        mp_ui->groupsListWidget->setEnabled(false);
    }
    else if (i_checkState == Qt::Unchecked)
    {
        mp_ui->userListCheckBox->setEnabled(true);
        mp_ui->groupsListWidget->setEnabled(!mp_ui->userListCheckBox->isChecked());
    }
}

void AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged(int i_checkState)
{
    if (i_checkState == Qt::Checked)
        mp_ui->groupsListWidget->setEnabled(false);
    else if (i_checkState == Qt::Unchecked)
        mp_ui->groupsListWidget->setEnabled(true);
}

void AddSharedFolderDialog::accept()
{
    const QString text = mp_ui->selectedFolderEdit->text();
    if (text.isEmpty())
        return;
    // Stored clean: "P" and "P/" are one share.
    ItemPtr folder = T("shared_folder")->NewItem(Value(SharedFoldersManager::CleanFolderPath(ToUtf8(text))));

    // The audience becomes exactly what the dialog shows: a folder shared
    // before loses the links it had.
    folder.Disconnect("shared_public");
    folder.Disconnect("shared_userlist");
    Type* groupType = d->HasType("user_list_group");
    if (groupType)
        folder.Disconnect("user_list_group");

    if (mp_ui->everyoneCheckBox->isChecked())
        folder.NewItem("shared_public");
    else if (mp_ui->userListCheckBox->isChecked())
        folder.NewItem("shared_userlist");
    else if (groupType)
    {
        for (int k = 0; k < mp_ui->groupsListWidget->count(); ++k)
        {
            QListWidgetItem* row = mp_ui->groupsListWidget->item(k);
            if (row->checkState() != Qt::Checked)
                continue;
            // A group removed while the dialog was open stays gone.
            if (Item* group = groupType->HasItem(Value(NameOfCell(row))))
                folder += group;
        }
    }
    QDialog::accept();
}
