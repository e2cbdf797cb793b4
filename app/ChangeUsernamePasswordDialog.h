#pragma once
// Asks for the user name and password the client logs in with. It changes
// only the two stored settings: the server connection reads them at its next
// login. At the first start the caller runs it modally and owns it; opened
// later on request it is shown without a modal loop and deletes itself once
// accepted.

#include <QDialog>

class Ui_ChangeUsernamePasswordDialog;

class ChangeUsernamePasswordDialog : public QDialog
{
    Q_OBJECT

public:
    ChangeUsernamePasswordDialog(bool i_firstTime, QWidget* ip_parent = nullptr);
    ~ChangeUsernamePasswordDialog() override;

public slots:
    // Stores the trimmed fields; does nothing, and stays open, while either
    // field is empty after trimming.
    void accept() override;

private:
    Ui_ChangeUsernamePasswordDialog* mp_ui;
    bool m_firstTime;
};
