#pragma once
// The log entries of one store item: every entry on the page "All" and
// again on a page per area, in logged order, following new entries while
// open. The entries are `item_log` items that a writer connects to the
// item; without that type the dialog shows an empty "All" page.

#include <QDialog>

#include "Data.h"

class QPlainTextEdit;
namespace Ui {
class ItemLogDialog;
}

class ItemLogDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    ItemLogDialog(ItemPtr i_item, QWidget* ip_parent = nullptr);
    ~ItemLogDialog() override;

    void OnItemLog(Item* ip_entry);

    // Whether a's entry was made before b's.
    static bool CompareLogItemDates(ItemPtr i_a, ItemPtr i_b);

private:
    QPlainTextEdit* AreaPage(const QString& i_area);

    Ui::ItemLogDialog* mp_ui;
    ItemPtr m_item;
    QPlainTextEdit* mp_all;
};
