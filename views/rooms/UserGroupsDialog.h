#pragma once
// Puts one listed user into groups and out of them, and creates groups.
// Every tick takes effect in the store at once; there is no confirm step.
// Several may be open at once; each deletes itself when closed.

#include <QDialog>

#include <string>

#include "Data.h"

class QListWidgetItem;
class Ui_UserGroupsDialog;

class UserGroupsDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    UserGroupsDialog(std::string i_user, QWidget* ip_parent = nullptr);
    ~UserGroupsDialog() override;


public slots:
    void OnNewGroupButtonClicked();
    void OnGroupItemChanged(QListWidgetItem* ip_item);

private:
    void OnUserGroupAdded(Item* ip_group);
    void AddGroupRow(const std::string& i_group, bool i_checked);

    // The user's name as the store holds it.
    std::string m_user;
    Ui_UserGroupsDialog* mp_ui;
};
