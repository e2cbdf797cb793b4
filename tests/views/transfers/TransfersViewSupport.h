#pragma once
// The transfers view as start-up builds it, around the real transfer queue:
// the form is made and initialised after the queue and before the state
// file is read. Running downloads get their live counters the way the queue
// allocates them (its item-removed handlers free them).

#include "transfers/TransferTestSupport.h"

#include "TransferProgressDelegate.h"
#include "LiveAddresses.h"
#include "TransfersForm.h"

#include <QTreeWidget>

namespace transfersview
{
using namespace transfertest;

class ViewFixture
{
public:
    QueueFixture m_queue;
    TransfersForm* mp_form = nullptr;

    // Everything up to the load; i_beforeLoad adds what the state file would.
    void Start(const std::function<void()>& i_beforeLoad = {})
    {
        m_queue.Build();
        m_queue.Listen();
        mp_form = new TransfersForm;
        mp_form->resize(900, 600);
        mp_form->Init();
        if (i_beforeLoad)
            i_beforeLoad();
        dataSaver->NotifyDataLoaded();
        QCoreApplication::processEvents();
    }

    void Stop()
    {
        delete mp_form;
        mp_form = nullptr;
        m_queue.TearDown();
    }

    TransferQueueManager* Queue() const { return m_queue.mp_queue; }
    QTreeWidget* Downloads() const { return mp_form->DownloadsList(); }
    QTreeWidget* Uploads() const { return mp_form->UploadsList(); }

    ItemPtr Add(const std::string& i_user, const std::string& i_folder, const std::string& i_file, qint64 i_size)
    {
        return Queue()->AddDownload(i_user, i_file, i_folder, i_size, 0);
    }

    // A download that runs at the position and speed, then reports once.
    void Report(ItemPtr i_download, qint64 i_position, int i_bytesPerSecond)
    {
        if (!i_download["write_position"])
        {
            Queue()->SetDownloadEntryStatus(i_download, "downloading");
            i_download += T("write_position")->GetItem(Value(NewListed<qint64>(0)));
            i_download += T("bytes_per_second")->GetItem(Value(NewListed<int>(0)));
            i_download += T("last_receipt_time")->GetItem(Value(NewListed<QDateTime>(QDateTime::currentDateTime())));
        }
        *LiveObject<qint64>(i_download["write_position"]) = i_position;
        *LiveObject<int>(i_download["bytes_per_second"]) = i_bytesPerSecond;
        emit Queue()->DownloadProgressed(i_download);
    }

    // An upload entry as the queue records one for a shared file.
    static ItemPtr Upload(const std::string& i_user, const std::string& i_folder, const std::string& i_file,
                          qint64 i_size, const std::string& i_status)
    {
        ItemPtr file = T("shared_file")->NewItem();
        file += T("shared_file_name")->GetItem(i_folder + "\\" + i_file);
        file += T("shared_file_size")->GetItem(Value(static_cast<long long>(i_size)));
        file += T("shared_file_folder")->GetItem(i_folder);
        ItemPtr upload = T("upload_entry")->NewItem();
        upload += T("user")->GetItem(i_user);
        upload += file;
        upload += T("upload_entry_status")->GetItem(i_status);
        return upload;
    }

    // The entry row of a download or upload.
    static QTreeWidgetItem* RowOf(ItemPtr i_entry, const char* ip_nodeType)
    {
        ItemPtr node = i_entry[ip_nodeType];
        return node ? reinterpret_cast<QTreeWidgetItem*>(uintptr_t(node.AsUInt())) : nullptr;
    }
    static QTreeWidgetItem* DownloadRow(ItemPtr i_download) { return RowOf(i_download, "download_list_node"); }
    static QTreeWidgetItem* UploadRow(ItemPtr i_upload) { return RowOf(i_upload, "upload_list_node"); }

    static QString BarText(QTreeWidgetItem* ip_row)
    {
        return ip_row->data(4, transferprogress::kTextRole).toString();
    }
    static QVariant BarValue(QTreeWidgetItem* ip_row) { return ip_row->data(4, transferprogress::kValueRole); }
};

inline size_t Count(const char* ip_type)
{
    Type* type = d->HasType(ip_type);
    return type ? type->ItemCount() : 0;
}

inline QColor Colour(QTreeWidgetItem* ip_row, int i_column = 0)
{
    return ip_row->foreground(i_column).color();
}

} // namespace transfersview
