#include "TreeWidget.h"

#include <QKeyEvent>

TreeWidget::TreeWidget(QWidget* ip_parent) : QTreeWidget(ip_parent) {}

TreeWidget::~TreeWidget() = default;

void TreeWidget::keyPressEvent(QKeyEvent* ip_event)
{
    emit KeyPressed(ip_event);
    QTreeWidget::keyPressEvent(ip_event);
}
