#include "ChangeListeningPortDialog.h"

#include "ui_ChangeListeningPortDialog.h"

#include "Data.h"
#include "FixedPlaces.h"
#include "TextConversion.h"

#include <QMessageBox>

ChangeListeningPortDialog::ChangeListeningPortDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_ChangeListeningPortDialog)
{
    mp_ui->setupUi(this);
    FitFixedPlaces(this);
    // A cancelled dialog goes too, instead of staying a hidden child of the
    // window until the program ends.
    setAttribute(Qt::WA_DeleteOnClose);

    // One digit 1 to 9, then up to four more digits.
    mp_ui->portEdit->setInputMask(QStringLiteral("D9999"));
    // The port in use, not a pending one.
    mp_ui->portEdit->setText(FromLatin1(GetSetting("listening_port")));
}

ChangeListeningPortDialog::~ChangeListeningPortDialog()
{
    delete mp_ui;
}

void ChangeListeningPortDialog::accept()
{
    const int port = mp_ui->portEdit->text().toInt(nullptr, 10);
    if (port < 1 || port > 65535)
    {
        QMessageBox::information(this, tr("Invalid Port Number"),
                                 tr("Port number must be in the range of 1 to 65535."), QMessageBox::Ok);
        return;
    }
    if (port == FromLatin1(GetSetting("listening_port")).toInt(nullptr, 10))
    {
        QMessageBox::information(this, tr("Port Number Not Changed"), tr("Port number has not been changed."),
                                 QMessageBox::Ok);
        return;
    }

    QDialog::accept();
    SetSetting("new_listening_port", ToLatin1(QString::number(port, 10)));

    QMessageBox::information(this, tr("Change to Listening Port Pending"),
                             tr("Changes to the listening port will take effect after a client restart."),
                             QMessageBox::Ok);
    // Deferred: this slot runs inside the button box's signal, and the box
    // above ran its own event loop with this dialog as its parent.
    deleteLater();
}
