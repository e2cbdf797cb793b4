#pragma once
// Lets the user choose another port for plain connections from other
// clients. The port in use stays as it is for the rest of the run: the
// choice is kept as the pending setting new_listening_port, which the peer
// network applies at the next start. Opened without a modal loop; the dialog
// deletes itself whether it is accepted or cancelled.

#include <QDialog>

class Ui_ChangeListeningPortDialog;

class ChangeListeningPortDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ChangeListeningPortDialog(QWidget* ip_parent = nullptr);
    ~ChangeListeningPortDialog() override;

public slots:
    // Stores a port from 1 to 65535 that differs from the one in use; any
    // other entry is explained in a box and the dialog stays open.
    void accept() override;

private:
    Ui_ChangeListeningPortDialog* mp_ui;
};
