#include "LiveObjects.h"

#include "Data.h"

#include <QAction>
#include <QApplication>
#include <QWidget>

QAction* FindAction(const QWidget* ip_owner, const std::string& i_address)
{
    if (!ip_owner || i_address.empty())
        return nullptr;
    for (QAction* action : ip_owner->actions())
        if (Value(action).Text() == i_address)
            return action;
    return nullptr;
}

QWidget* FindWidget(const std::string& i_address)
{
    if (i_address.empty())
        return nullptr;
    for (QWidget* widget : QApplication::allWidgets())
        if (Value(widget).Text() == i_address)
            return widget;
    return nullptr;
}
