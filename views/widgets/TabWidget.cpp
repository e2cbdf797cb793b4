#include "TabWidget.h"

#include "FocusFunctions.h"

TabWidget::TabWidget(QWidget* ip_parent) : QTabWidget(ip_parent)
{
    connect(this, &QTabWidget::currentChanged, this, &TabWidget::OnTabChanged);
}

TabWidget::~TabWidget() = default;

void TabWidget::OnTabChanged(int i_tab)
{
    if (i_tab != -1)
        FindWidgetFocusProperty(widget(i_tab), 0);
}

RoomTabWidget::RoomTabWidget(QWidget* ip_parent) : QTabWidget(ip_parent) {}

RoomTabWidget::~RoomTabWidget() = default;
