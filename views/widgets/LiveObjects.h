#pragma once
// Objects named by an address kept in the store are found again only among
// the live ones, so an object deleted in between is never reached through
// its old address.

#include <string>

class QAction;
class QWidget;

// The action of the widget (a toolbar, say) whose address is the decimal
// text; null when the widget holds no such action any more.
QAction* FindAction(const QWidget* ip_owner, const std::string& i_address);

// The live widget whose address is the decimal text; null when there is
// none.
QWidget* FindWidget(const std::string& i_address);
