#include "SharedFilesRescannedDialog.h"
#include "ui_SharedFilesRescannedDialog.h"

#include "FixedPlaces.h"

SharedFilesRescannedDialog::SharedFilesRescannedDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui::SharedFilesRescannedDialog)
{
    mp_ui->setupUi(this);
    FitFixedPlaces(this);
    connect(mp_ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(mp_ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    setAttribute(Qt::WA_DeleteOnClose);
}

SharedFilesRescannedDialog::~SharedFilesRescannedDialog()
{
    delete mp_ui;
}

void SharedFilesRescannedDialog::Append(QString i_line)
{
    mp_ui->plainTextEdit->appendPlainText(i_line);
}

QString SharedFilesRescannedDialog::Text() const
{
    return mp_ui->plainTextEdit->toPlainText();
}
