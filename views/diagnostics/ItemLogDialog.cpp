#include "ItemLogDialog.h"
#include "ui_ItemLogDialog.h"

#include "TextConversion.h"

#include <QDateTime>
#include <QPlainTextEdit>

#include <algorithm>

namespace {

const long kMaxIndent = 64;
const char* const kEntryTypes[] = {"item_log", "log_order", "log_area", "log_level", "log_text", "log_time"};

QPlainTextEdit* NewPage(QWidget* ip_parent)
{
    auto* page = new QPlainTextEdit(ip_parent);
    page->setReadOnly(true);
    page->setLineWrapMode(QPlainTextEdit::NoWrap);
    return page;
}

} // namespace

ItemLogDialog::ItemLogDialog(ItemPtr i_item, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui::ItemLogDialog), m_item(i_item)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);

    bool logged = bool(i_item);
    for (const char* name : kEntryTypes)
        logged = logged && d->HasType(name);
    logged = logged && T("item_log")->IsRelated(i_item->GetType());
    if (logged) {
        PathNode* root = new PathNode(d, "item_log");
        new PathNode(root, i_item.Get(), NotifyOnConnect);
        AddPathHandler(root, this, &ItemLogDialog::OnItemLog);
    }

    mp_all = NewPage(this);
    mp_ui->logTabWidget->addTab(mp_all, tr("All"));

    if (logged)
        for (Item* entry : i_item.GetItems("item_log").SortNumericBy("log_order", true))
            OnItemLog(entry);
}

ItemLogDialog::~ItemLogDialog()
{
    delete mp_ui;
}

QPlainTextEdit* ItemLogDialog::AreaPage(const QString& i_area)
{
    QTabWidget* tabs = mp_ui->logTabWidget;
    for (int k = 0; k < tabs->count(); ++k)
        if (tabs->tabText(k) == i_area)
            if (auto* page = qobject_cast<QPlainTextEdit*>(tabs->widget(k)))
                return page;
    QPlainTextEdit* page = NewPage(this);
    tabs->addTab(page, i_area);
    return page;
}

void ItemLogDialog::OnItemLog(Item* ip_entry)
{
    ItemPtr entry(ip_entry);
    QPlainTextEdit* area = AreaPage(FromLatin1(entry["log_area"].AsString()));
    QString line = FromLatin1(entry["log_text"].AsString());
    for (long level = std::min(entry["log_level"].AsInt(), kMaxIndent); level > 1; --level)
        line.prepend(QLatin1String("   "));
    line.prepend(QLatin1Char('[') + FromLatin1(entry["log_time"].AsString()) + QLatin1String("] "));
    // Plain text: entries may quote what other users sent.
    area->appendPlainText(line);
    mp_all->appendPlainText(line);
}

bool ItemLogDialog::CompareLogItemDates(ItemPtr i_a, ItemPtr i_b)
{
    return QDateTime::fromString(FromLatin1(i_a["log_time"].AsString()), Qt::TextDate)
        < QDateTime::fromString(FromLatin1(i_b["log_time"].AsString()), Qt::TextDate);
}
