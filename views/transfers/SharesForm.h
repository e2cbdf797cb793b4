#pragma once
// The browser of other users' shares, embedded in the main window's
// "Browse" tab.

#include <QWidget>

#include <string>

class SharesForm : public QWidget
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);
    ~SharesForm() override;

    // Runs before the state file is loaded.
    void Init();

    // Opens (or brings forward) the tab that browses the user's shares.
    void OpenShareBrowse(std::string i_user);
};

// The window's browser while it exists: the user menu browses through it.
extern SharesForm* sharesForm;
