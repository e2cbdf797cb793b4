#include "CompleteDownloadsForm.h"
#include "ui_CompleteDownloadsForm.h"

#include "DataSaver.h"
#include "TextConversion.h"
#include "TransferQueueManager.h"

#include <QHeaderView>

CompleteDownloadsForm* completeDownloadsForm = nullptr;

CompleteDownloadItem::CompleteDownloadItem(QTreeWidget* ip_tree, const QDateTime& i_completed)
    : QTreeWidgetItem(ip_tree, 0), m_completed(i_completed)
{
}

bool CompleteDownloadItem::operator<(const QTreeWidgetItem& i_other) const
{
    const auto* other = dynamic_cast<const CompleteDownloadItem*>(&i_other);
    if (!other)
        return QTreeWidgetItem::operator<(i_other);
    if (!m_completed.isValid())
        return other->m_completed.isValid();
    return other->m_completed.isValid() && m_completed < other->m_completed;
}

CompleteDownloadsForm::CompleteDownloadsForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui::CompleteDownloadsForm)
{
    completeDownloadsForm = this;
    mp_ui->setupUi(this);
    QTreeWidget* list = mp_ui->downloadList;
    list->setColumnCount(5);
    list->setHeaderLabels({tr("File"), tr("Folder"), tr("User"), tr("Size"), tr("Completion time")});
    const int widths[] = {250, 250, 100, 100, 150};
    for (int column = 0; column < 5; ++column)
        list->setColumnWidth(column, widths[column]);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
}

CompleteDownloadsForm::~CompleteDownloadsForm()
{
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    if (completeDownloadsForm == this)
        completeDownloadsForm = nullptr;
    delete mp_ui;
}

QTreeWidget* CompleteDownloadsForm::DownloadList() const
{
    return mp_ui->downloadList;
}

void CompleteDownloadsForm::Init()
{
    Relate(MakeType("complete_download_node", true, false, true), T("complete_download"), One, One);
    if (transferQueueManager)
        connect(transferQueueManager, &TransferQueueManager::CompleteDownloadAdded, this,
                &CompleteDownloadsForm::OnCompleteDownloadAdded, Qt::UniqueConnection);
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
    // The state file was read before anything could open this view: what
    // it recorded is listed now, sorted once.
    DataLoaded();
}

void CompleteDownloadsForm::DataLoaded()
{
    bool added = false;
    for (Item* download : g("complete_download"))
        added = AddRow(download) || added;
    if (added)
        mp_ui->downloadList->sortItems(0, Qt::DescendingOrder);
}

void CompleteDownloadsForm::OnCompleteDownloadAdded(ItemPtr i_download)
{
    if (AddRow(i_download))
        mp_ui->downloadList->sortItems(0, Qt::DescendingOrder);
}

bool CompleteDownloadsForm::AddRow(ItemPtr i_download)
{
    if (!i_download || i_download.Get()->IsRemoved() || i_download["complete_download_node"])
        return false;
    const std::string completed = i_download["complete_download_completion_time"].AsString();
    auto* row = new CompleteDownloadItem(mp_ui->downloadList,
                                         QDateTime::fromString(FromLatin1(completed), Qt::TextDate));
    row->setText(0, FromUtf8(i_download["complete_download_filename"].AsString()));
    row->setText(1, FromUtf8(i_download["complete_download_relative_folder"].AsString()));
    row->setText(2, FromName(i_download["user"].AsString()));
    row->setText(3, FromLatin1(i_download["complete_download_file_size"].AsString()));
    row->setText(4, FromLatin1(completed));
    ItemPtr(T("complete_download_node")->GetItem(Value(static_cast<QTreeWidgetItem*>(row)))) += i_download;
    return true;
}
