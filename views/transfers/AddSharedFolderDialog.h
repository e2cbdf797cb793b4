#pragma once
// Shares a chosen folder with an audience: everyone, everyone on the user
// list, or the members of chosen groups. OK records the folder with exactly
// the audience shown; the shared-files manager scans it from there.

#include <QDialog>

namespace Ui {
class AddSharedFolderDialog;
}

class AddSharedFolderDialog : public QDialog
{
    Q_OBJECT

public:
    // Modeless; deletes itself when closed. The groups are listed once.
    explicit AddSharedFolderDialog(QWidget* ip_parent = nullptr);
    ~AddSharedFolderDialog() override;

    // The chosen folder, as the chooser gave it.
    void SetSelectedFolder(const QString& i_folder);

public slots:
    void OnSelectFolderClicked();
    void accept() override;
    void OnAccessibleToEveryoneCheckStateChanged(int i_checkState);
    void OnAccessibleToUserListCheckStateChanged(int i_checkState);

private:
    Ui::AddSharedFolderDialog* mp_ui;
};
