#pragma once
// The user's list of users and groups, embedded in the main window's
// "Users" tab.

#include <QWidget>

class UserListForm : public QWidget
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* ip_parent = nullptr);
    ~UserListForm() override;

    // Runs after the state file is loaded: the list's row types are not
    // saved, so they are made fresh on every start.
    void Init();
};
