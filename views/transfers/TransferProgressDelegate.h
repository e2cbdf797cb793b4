#pragma once
// The progress column of the transfer trees. A row's bar is data of its
// cell (text and value in two roles) painted by one delegate, so thousands
// of rows cost no widget each; the figures of the other columns share the
// formatting here.

#include <QStyledItemDelegate>
#include <QString>

class QTreeWidgetItem;

namespace transferprogress
{
// The bar's text ("1,536 (37.5%)") and its value (0-100). A cell without
// a value shows no bar.
const int kTextRole = Qt::UserRole + 1;
const int kValueRole = Qt::UserRole + 2;
const int kBarHeight = 14;

// Done as a share of the total in percent, within 0-100; a total of 0 or
// less counts as finished.
double Percent(qint64 i_done, qint64 i_total);
// Sets the bar of the cell: the bytes done with commas and the percentage
// with one decimal; the value is the percentage truncated.
void SetBar(QTreeWidgetItem* ip_row, int i_column, qint64 i_done, double i_percent);
// Takes the bar away.
void ClearBar(QTreeWidgetItem* ip_row, int i_column);
bool HasBar(const QTreeWidgetItem* ip_row, int i_column);
// Seconds left at the speed (0 when the speed is not positive), as three
// blanks and "1h:2m:5s" with the leading parts only when they count.
QString TimeLeftText(qint64 i_remaining, qint64 i_bytesPerSecond);
// Bytes per second as KiB/s with one decimal.
QString SpeedText(qint64 i_bytesPerSecond);
}

class TransferProgressDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit TransferProgressDelegate(QObject* ip_parent = nullptr);

    void paint(QPainter* ip_painter, const QStyleOptionViewItem& i_option, const QModelIndex& i_index) const override;
};
