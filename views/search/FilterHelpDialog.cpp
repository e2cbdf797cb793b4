#include "FilterHelpDialog.h"
#include "ui_FilterHelpDialog.h"

FilterHelpDialog* filterHelpDialog = nullptr;

FilterHelpDialog::FilterHelpDialog(QWidget* ip_parent) : QDialog(ip_parent), mp_ui(new Ui::FilterHelpDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    filterHelpDialog = this;
}

FilterHelpDialog::~FilterHelpDialog()
{
    if (filterHelpDialog == this)
        filterHelpDialog = nullptr;
    delete mp_ui;
}

void ShowFilterHelp(QWidget* ip_view)
{
    if (!filterHelpDialog)
        new FilterHelpDialog(ip_view);
    filterHelpDialog->show();
    filterHelpDialog->raise();
}
