#pragma once
// The help on the filter language of result trees and the share browser.
// At most one is open; it is deleted when closed.

#include <QDialog>

namespace Ui {
class FilterHelpDialog;
}

class FilterHelpDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FilterHelpDialog(QWidget* ip_parent = nullptr);
    ~FilterHelpDialog() override;

private:
    Ui::FilterHelpDialog* mp_ui;
};

// The open help dialog; null when none.
extern FilterHelpDialog* filterHelpDialog;

// Shows the help dialog, made with ip_view as parent when none is open.
void ShowFilterHelp(QWidget* ip_view);
