#pragma once
// Which widget takes the keyboard focus when a tab page comes to the front.
// A widget is marked with a rank in its dynamic property "get_focus"; when a
// TabWidget shows a page, the visible marked widget of the highest rank on
// that page (the first in depth-first order among equals) takes the focus.
// FocusWidget and FocusWidgetAndParents (bringing a widget to the front
// through its tab pages) are in GeneralFunctions.h.

#include "GeneralFunctions.h"

class QWidget;

// Marks the widget with the rank; a visible widget takes the focus at once.
void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_rank);

// Gives the focus to the best visible marked widget inside the widget (the
// widget itself included) whose rank beats i_rankToBeat, and returns the
// best rank found (i_rankToBeat when none beats it). Hidden widgets and
// everything inside them are passed over.
int FindWidgetFocusProperty(QWidget* ip_widget, int i_rankToBeat);
