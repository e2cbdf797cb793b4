#pragma once
// The browser of other users' shares, embedded in the main window's
// "Browse" tab.

#include <QWidget>

class SharesForm : public QWidget
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);
    ~SharesForm() override;

    // Runs before the state file is loaded.
    void Init();
};
