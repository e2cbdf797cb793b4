#pragma once
// Adds a user to the own list by typed name, once the server confirms that
// the name exists. Stays open after a success so that several names can be
// added in turn; deletes itself when closed.

#include <QDialog>

#include <string>

class Ui_AddUserDialog;

class AddUserDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddUserDialog(QWidget* ip_parent = nullptr);
    ~AddUserDialog() override;

    // The name whose answer the dialog waits for; empty while idle.
    const std::string& PendingUser() const { return m_pendingUser; }

public slots:
    void OnAddUserClicked();
    void OnAddUserResponse(std::string i_user, bool i_exists);

private slots:
    // A lost connection answers no more requests: back to idle.
    void OnDisconnected();

private:
    void SetWaiting(bool i_waiting);

    Ui_AddUserDialog* mp_ui;
    std::string m_pendingUser;
};
