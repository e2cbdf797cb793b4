#pragma once
// The search tabs and wish-list tabs, embedded in the main window's
// "Search" tab.

#include <QWidget>

class SearchForm : public QWidget
{
    Q_OBJECT

public:
    explicit SearchForm(QWidget* ip_parent = nullptr);
    ~SearchForm() override;

    // Runs before the state file is loaded, so the saved filter type exists
    // when the load looks for it.
    void Init();
};
