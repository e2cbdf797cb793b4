#pragma once
// The browser over the data store's types and items. It deletes itself when
// closed, so whoever keeps a pointer to it keeps a guarded one.

#include <QDialog>

class Data;

class DataDialog : public QDialog
{
    Q_OBJECT

public:
    DataDialog(Data* ip_data, QWidget* ip_parent = nullptr);
    ~DataDialog() override;

private:
    Data* mp_data;
};
