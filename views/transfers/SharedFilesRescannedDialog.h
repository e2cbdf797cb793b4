#pragma once
// The report after a rescan of the shared folders: files added and removed.

#include <QDialog>
#include <QString>

namespace Ui {
class SharedFilesRescannedDialog;
}

class SharedFilesRescannedDialog : public QDialog
{
    Q_OBJECT

public:
    // Deletes itself when closed.
    explicit SharedFilesRescannedDialog(QWidget* ip_parent = nullptr);
    ~SharedFilesRescannedDialog() override;

    // One more paragraph of the report.
    void Append(QString i_line);
    QString Text() const;

private:
    Ui::SharedFilesRescannedDialog* mp_ui;
};
