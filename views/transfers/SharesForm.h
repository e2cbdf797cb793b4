#pragma once
// The browser of other users' shares, embedded in the main window's
// "Browse" tab: one closable tab per browsed user. It hands each stored
// share to its user's tab, or drops it when the user has none.

#include <QWidget>

#include <string>

#include "Data.h"

class ShareForm;
class TabWidget;
namespace Ui {
class SharesForm;
}

class SharesForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);
    ~SharesForm() override;

    // Runs before the state file is loaded.
    void Init();

    // Opens (or brings forward) the tab that browses the user's shares.
    void OpenShareBrowse(std::string i_user);

    // The share view on screen in the tabs; null when there is none.
    ShareForm* CurrentShareForm() const;
    TabWidget* TabControl() const;

public slots:
    void OnTabCloseRequested(int i_tabIndex);
    void OnToolBarActionTriggered(std::string i_action);

private:
    void OnUserShare(Item* ip_share);
    static ShareForm* ViewOfUser(ItemPtr i_user);

    Ui::SharesForm* mp_ui;
};

// The window's browser while it exists: the user menu browses through it.
extern SharesForm* sharesForm;
