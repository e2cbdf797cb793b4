#pragma once
// The download and upload trees, embedded in the main window's
// "Transfers" tab.

#include <QWidget>

class TransfersForm : public QWidget
{
    Q_OBJECT

public:
    explicit TransfersForm(QWidget* ip_parent = nullptr);
    ~TransfersForm() override;

    // Runs before the state file is loaded and after the transfer queue
    // exists.
    void Init();
};
