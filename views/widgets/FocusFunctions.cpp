#include "FocusFunctions.h"

#include <QVariant>
#include <QWidget>

namespace
{
const char* kFocusProperty = "get_focus";

// The rank of a visible marked widget that beats io_best; io_best follows.
bool Beats(QWidget* ip_widget, int& io_best)
{
    const QVariant rank = ip_widget->property(kFocusProperty);
    if (!rank.isValid() || rank.toInt() <= io_best)
        return false;
    io_best = rank.toInt();
    return true;
}
}

void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_rank)
{
    if (!ip_widget)
        return;
    ip_widget->setProperty(kFocusProperty, i_rank);
    if (ip_widget->isVisible())
        ip_widget->setFocus(Qt::OtherFocusReason);
}

int FindWidgetFocusProperty(QWidget* ip_widget, int i_rankToBeat)
{
    // One pass finds the winner, then the focus is set once: the toolbars
    // that follow the focus see one change, not one per rank on the way.
    int best = i_rankToBeat;
    if (!ip_widget || !ip_widget->isVisible())
        return best;
    QWidget* winner = Beats(ip_widget, best) ? ip_widget : nullptr;
    // Depth-first, parents before children; a widget inside a hidden one is
    // not visible itself, so whole hidden pages drop out.
    for (QWidget* child : ip_widget->findChildren<QWidget*>())
        if (child->isVisible() && Beats(child, best))
            winner = child;
    if (winner)
        winner->setFocus(Qt::OtherFocusReason);
    return best;
}
