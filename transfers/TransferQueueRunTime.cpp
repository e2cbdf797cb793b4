// The transfer queue: the objects a running download or upload keeps (its
// thread, file, socket and progress figures), and what the two sides do
// alike with them: find the entry of a thread, change status, record
// progress, start and release a transfer.

#include "TransferQueueManager.h"
#include "TransferQueueInternal.h"

#include "TransferThread.h"

#include <QDateTime>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

namespace TransferQueueInternal
{

void CloseFileConnection(QTcpSocket* ip_socket)
{
    ip_socket->disconnect();
    ip_socket->close();
    ip_socket->deleteLater();
}

} // namespace TransferQueueInternal

using namespace TransferQueueInternal;

// ---------------------------------------------------------------- run-time objects

// One handler per type, as each type is registered on its own: deliberate
// twins, each freeing the object its type holds.

void TransferQueueManager::OnWritePositionRemoved(Item* ip_item)
{
    DeleteListed<qint64>(ip_item);
}

void TransferQueueManager::OnReadPositionRemoved(Item* ip_item)
{
    DeleteListed<qint64>(ip_item);
}

void TransferQueueManager::OnLastReceiptTimeRemoved(Item* ip_item)
{
    DeleteListed<QDateTime>(ip_item);
}

void TransferQueueManager::OnLastSpeedMeasurementTimeRemoved(Item* ip_item)
{
    DeleteListed<QDateTime>(ip_item);
}

void TransferQueueManager::OnBytesPerSecondRemoved(Item* ip_item)
{
    DeleteListed<int>(ip_item);
}

void TransferQueueManager::OnBytesSinceLastReceiptRemoved(Item* ip_item)
{
    DeleteListed<qint64>(ip_item);
}

void TransferQueueManager::OnBytesUploadedRemoved(Item* ip_item)
{
    DeleteListed<qint64>(ip_item);
}

// ---------------------------------------------------------------- what a download and an upload do alike

ItemPtr TransferQueueManager::EntryOfThread(const QObject* ip_thread, const TransferSide& i_side) const
{
    // The address alone finds the item; a thread that is no longer recorded
    // is never dereferenced.
    Item* thread = ip_thread ? T(i_side.thread)->HasItem(Value(ip_thread)) : nullptr;
    return thread ? ItemPtr(thread)[i_side.entry] : ItemPtr();
}

bool TransferQueueManager::SetEntryStatus(ItemPtr i_entry, const TransferSide& i_side, const std::string& i_status,
                                          const std::string& i_now)
{
    const bool wasActive = IsActiveStatus(i_entry[i_side.status].Get());
    Item* status = T(i_side.status)->GetItem(i_status);
    i_entry += status;
    i_entry += T("last_status_change_time")->GetItem(i_now.empty() ? Now() : i_now);
    if (!wasActive || IsActiveStatus(status))
        return false;
    ReleaseTransfer(i_entry, i_side);
    return true;
}

void TransferQueueManager::ReleaseTransfer(ItemPtr i_entry, const TransferSide& i_side)
{
    // The thread first: it alone uses the file and the socket while it runs.
    if (ItemPtr item = i_entry[i_side.thread])
    {
        TransferThread* thread = LiveObject<TransferThread>(item.Get());
        item.Remove();
        if (thread)
        {
            thread->SignalExit();
            thread->wait();
            // Deferred, so that a signal it queued before it ended finds no
            // entry rather than a new thread at the same address.
            thread->deleteLater();
        }
    }
    if (ItemPtr item = i_entry[i_side.file])
    {
        QFile* file = LiveObject<QFile>(item.Get());
        item.Remove();
        if (file)
        {
            file->close();
            delete file;
        }
    }
    if (ItemPtr item = i_entry[i_side.socket])
    {
        QTcpSocket* socket = LiveObject<QTcpSocket>(item.Get());
        item.Remove();
        if (socket)
            CloseFileConnection(socket);
    }
    for (const char* type : {i_side.position, "last_receipt_time", "last_speed_measurement_time", "bytes_per_second",
                             "bytes_since_last_receipt"})
        i_entry[type].Remove();
}

void TransferQueueManager::AddProgressObjects(ItemPtr i_entry, const QDateTime& i_now)
{
    i_entry += T("last_receipt_time")->GetItem(Value(NewListed<QDateTime>(i_now)));
    i_entry += T("last_speed_measurement_time")->GetItem(Value(NewListed<QDateTime>(i_now)));
    i_entry += T("bytes_per_second")->GetItem(Value(NewListed<int>(0)));
    i_entry += T("bytes_since_last_receipt")->GetItem(Value(NewListed<qint64>(0)));
}

void TransferQueueManager::RecordProgress(ItemPtr i_entry, const TransferSide& i_side, qint64 i_offset,
                                          int i_bytesPerSecond, const QDateTime& i_receipt)
{
    if (qint64* position = LiveObject<qint64>(i_entry[i_side.position].Get()))
        *position = i_offset;
    if (int* speed = LiveObject<int>(i_entry["bytes_per_second"].Get()))
        *speed = i_bytesPerSecond;
    if (QDateTime* receipt = LiveObject<QDateTime>(i_entry["last_receipt_time"].Get()))
        *receipt = i_receipt;
}

void TransferQueueManager::StartThread(ItemPtr i_entry, const TransferSide& i_side, QTcpSocket* ip_socket,
                                       TransferThread* ip_thread)
{
    ip_socket->setParent(nullptr);
    ip_socket->moveToThread(ip_thread);
    i_entry += T(i_side.thread)->GetItem(Value(ListLiveUntilDestroyed(ip_thread)));
    ip_thread->start(QThread::InheritPriority);
}
