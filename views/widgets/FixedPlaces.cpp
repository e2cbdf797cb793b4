#include "FixedPlaces.h"

#include <QLayout>
#include <QWidget>

#include <algorithm>

void FitFixedPlaces(QWidget* ip_form)
{
    if (!ip_form)
        return;
    // The hints depend on the style's metrics and the font.
    ip_form->ensurePolished();
    int right = 0;
    int bottom = 0;
    int grownRight = 0;
    int grownBottom = 0;
    for (QWidget* widget : ip_form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    {
        // Those the form's layout places, if it has one, fit already.
        if (widget->isWindow() || (ip_form->layout() && ip_form->layout()->indexOf(widget) >= 0))
            continue;
        const QRect before = widget->geometry();
        right = std::max(right, before.x() + before.width());
        bottom = std::max(bottom, before.y() + before.height());
        const QSize fitting = before.size().expandedTo(widget->minimumSizeHint()).boundedTo(widget->maximumSize());
        widget->resize(fitting);
        grownRight = std::max(grownRight, before.x() + fitting.width());
        grownBottom = std::max(grownBottom, before.y() + fitting.height());
    }
    const QSize margins(std::max(0, ip_form->width() - right), std::max(0, ip_form->height() - bottom));
    ip_form->resize(ip_form->size().expandedTo(QSize(grownRight, grownBottom) + margins));
}
