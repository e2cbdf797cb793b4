#include "TransferProgressDelegate.h"

#include "GeneralFunctions.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QTreeWidgetItem>

#include <algorithm>
#include <cmath>

namespace transferprogress
{

double Percent(qint64 i_done, qint64 i_total)
{
    if (i_total <= 0)
        return 100.0;
    const double percent = double(i_done) * 100.0 / double(i_total);
    return std::clamp(percent, 0.0, 100.0);
}

void SetBar(QTreeWidgetItem* ip_row, int i_column, qint64 i_done, double i_percent)
{
    ip_row->setData(i_column, kTextRole,
                    QStringLiteral("%1 (%2%)").arg(CommafyNumber(i_done), QString::number(i_percent, 'f', 1)));
    ip_row->setData(i_column, kValueRole, int(i_percent));
}

void ClearBar(QTreeWidgetItem* ip_row, int i_column)
{
    ip_row->setData(i_column, kTextRole, QVariant());
    ip_row->setData(i_column, kValueRole, QVariant());
}

bool HasBar(const QTreeWidgetItem* ip_row, int i_column)
{
    return ip_row->data(i_column, kValueRole).isValid();
}

QString TimeLeftText(qint64 i_remaining, qint64 i_bytesPerSecond)
{
    const qint64 seconds = i_bytesPerSecond > 0 ? std::max<qint64>(0, i_remaining) / i_bytesPerSecond : 0;
    QString text = QStringLiteral("%1s").arg(seconds % 60);
    if (seconds >= 60)
        text.prepend(QStringLiteral("%1m:").arg((seconds / 60) % 60));
    if (seconds >= 3600)
        text.prepend(QStringLiteral("%1h:").arg(seconds / 3600));
    return QStringLiteral("   ") + text;
}

QString SpeedText(qint64 i_bytesPerSecond)
{
    return QString::number(double(i_bytesPerSecond) / 1024.0, 'f', 1);
}

} // namespace transferprogress

TransferProgressDelegate::TransferProgressDelegate(QObject* ip_parent) : QStyledItemDelegate(ip_parent) {}

void TransferProgressDelegate::paint(QPainter* ip_painter, const QStyleOptionViewItem& i_option,
                                     const QModelIndex& i_index) const
{
    QStyledItemDelegate::paint(ip_painter, i_option, i_index);
    const QVariant value = i_index.data(transferprogress::kValueRole);
    if (!value.isValid())
        return;
    QStyleOptionProgressBar bar;
    if (i_option.widget)
        bar.initFrom(i_option.widget);
    const int height = std::min(transferprogress::kBarHeight, i_option.rect.height());
    bar.rect = QRect(i_option.rect.left(), i_option.rect.top() + (i_option.rect.height() - height) / 2,
                     i_option.rect.width(), height);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = value.toInt();
    bar.text = i_index.data(transferprogress::kTextRole).toString();
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    bar.state = i_option.state | QStyle::State_Horizontal;
    QStyle* style = i_option.widget ? i_option.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ProgressBar, &bar, ip_painter, i_option.widget);
}
