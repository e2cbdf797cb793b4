#pragma once
// The tab controls of the main window and the views.

#include <QTabWidget>

// Gives the focus to the marked widget of each page it brings to the front
// (see FocusFunctions.h).
class TabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit TabWidget(QWidget* ip_parent = nullptr);
    ~TabWidget() override;

public slots:
    void OnTabChanged(int i_tab);
};

// The main window's private-chat tabs.
class RoomTabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit RoomTabWidget(QWidget* ip_parent = nullptr);
    ~RoomTabWidget() override;
};
