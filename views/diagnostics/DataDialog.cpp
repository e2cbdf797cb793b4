#include "DataDialog.h"

DataDialog::DataDialog(Data* ip_data, QWidget* ip_parent) : QDialog(ip_parent), mp_data(ip_data)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Data"));
}

DataDialog::~DataDialog() = default;
