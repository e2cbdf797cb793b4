#pragma once
// Sets the download priority of each user group; every step of the spin box
// is written to the store at once. One such dialog at a time: the global
// userGroupConfigDialog points to it while it exists. It deletes itself when
// closed.

#include <QDialog>

#include "Data.h"

class QListWidgetItem;
class Ui_UserGroupConfigDialog;

class UserGroupConfigDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    explicit UserGroupConfigDialog(QWidget* ip_parent = nullptr);
    ~UserGroupConfigDialog() override;


private slots:
    void OnCurrentGroupItemChanged(QListWidgetItem* ip_currentItem, QListWidgetItem* ip_lastItem);
    void OnPrioritySpinValueChanged(int i_value);

private:
    void OnUserGroupAdded(Item* ip_group);
    void OnUserGroupRemoved(Item* ip_group);

    Ui_UserGroupConfigDialog* mp_ui;
};

extern UserGroupConfigDialog* userGroupConfigDialog;
