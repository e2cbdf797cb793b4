// The transfer queue: a download's folders and files, its file connection
// and thread, and its end: the move into the complete folder and the record
// of completed downloads.

#include "TransferQueueManager.h"
#include "TransferQueueInternal.h"

#include "DownloadPaths.h"
#include "DownloadThread.h"
#include "Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <memory>

using namespace TransferQueueInternal;

namespace
{

// How far "name (n)" is counted for a free file name.
const int kMaxNumberedNames = 9999;

// A partial file holds a start of the file of that size: it was started
// for that size (a record from before sizes were kept is taken at its
// word) and is not longer.
bool HoldsStartOf(ItemPtr i_record, const QFileInfo& i_file, qint64 i_size)
{
    ItemPtr started = i_record["file_size"];
    return (!started || started.AsInt64() == i_size) && i_file.size() <= i_size;
}

// Another download that has not finished still resumes the partial file:
// it shares the record and the size the file was started for.
bool IsResumedByOther(ItemPtr i_record, ItemPtr i_download)
{
    for (Item* other : i_record.GetItems("download_entry"))
    {
        ItemPtr entry(other);
        if (other != i_download.Get() && entry["download_entry_status"].AsString() != "complete" &&
            entry["file_size"].Get() == i_record["file_size"].Get())
            return true;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------- download folders

QString TransferQueueManager::DownloadRoot(bool i_complete)
{
    QString root = FromUtf8(GetSetting("download_folder"));
    root.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return root + (i_complete ? QStringLiteral("\\complete") : QStringLiteral("\\downloading"));
}

QStringList TransferQueueManager::KeptParts(ItemPtr i_download, bool* o_shortened)
{
    return KeptSubfolders(i_download["remote_folder"].AsString(), i_download["subfolder_save_level"].AsInt(),
                          o_shortened);
}

QString TransferQueueManager::GetDownloadTargetFolder(ItemPtr i_download, bool i_complete)
{
    return DownloadRoot(i_complete) + GetDownloadRelativeDownloadFolder(i_download);
}

QString TransferQueueManager::GetDownloadRelativeDownloadFolder(ItemPtr i_download)
{
    QString relative;
    for (const QString& part : KeptParts(i_download))
        relative += QLatin1Char('\\') + part;
    return relative;
}

QString TransferQueueManager::GetDownloadTargetPath(ItemPtr i_download, bool i_complete)
{
    // Where the download's own file is when it took another name.
    if (!i_complete)
        if (ItemPtr own = i_download["partial_file"])
            return FromUtf8(own.AsString()).replace(QLatin1Char('/'), QLatin1Char('\\'));
    return GetDownloadTargetFolder(i_download, i_complete) + QLatin1Char('\\') +
           (i_complete ? CompleteFileName(i_download) : LocalName(i_download["file_name"].AsString()));
}

QString TransferQueueManager::CompleteFileName(ItemPtr i_download)
{
    ItemPtr own = i_download["complete_file_name"];
    return own ? FromUtf8(own.AsString()) : LocalName(i_download["file_name"].AsString());
}

bool TransferQueueManager::DoesDownloadItemCompleteFilenameExist(ItemPtr i_download)
{
    return i_download && QFileInfo::exists(SlashForm(GetDownloadTargetPath(i_download, true)));
}

bool TransferQueueManager::IsFinishedOnDisk(ItemPtr i_download)
{
    // A file of another size under the name is another file, and a partial
    // file of the download's own means it is not done.
    const QString path = SlashForm(GetDownloadTargetPath(i_download, true));
    const QFileInfo done(path);
    if (!i_download || !done.isFile() || done.size() != i_download["file_size"].AsInt64())
        return false;
    // Nor is a file that a finished download of another wire name, whose
    // local name is the same, put there.
    Item* name = i_download["file_name"].Get();
    if (Item* size = i_download["file_size"].Get())
        for (Item* other : size->GetItems("download_entry"))
        {
            ItemPtr entry(other);
            if (entry["file_name"].Get() != name && entry["download_entry_status"].AsString() == "complete" &&
                SlashForm(GetDownloadTargetPath(entry, true)) == path)
                return false;
        }
    const QString partial = ChoosePartialFile(i_download);
    return partial.isEmpty() || !QFileInfo::exists(partial);
}

QString TransferQueueManager::ChoosePartialFile(ItemPtr i_download, ItemPtr* o_record, bool* o_startOver)
{
    if (o_startOver)
        *o_startOver = false;
    const qint64 size = i_download["file_size"].AsInt64();
    const QString root = SlashForm(DownloadRoot(false));
    ItemPtr own = i_download["partial_file"];
    const QString ownPath = own ? FromUtf8(own.AsString()) : QString();
    if (own && IsBelowFolder(ownPath, root) && QFileInfo::exists(ownPath))
    {
        // Started for another size, the file changed at its source: its
        // bytes are of a version nobody offers any more, and the download
        // starts over in it, unless another download still resumes them.
        const bool changed = !HoldsStartOf(own, QFileInfo(ownPath), size);
        if (!changed || !IsResumedByOther(own, i_download))
        {
            if (o_record)
                *o_record = own;
            if (o_startOver)
                *o_startOver = changed;
            return ownPath;
        }
    }
    const QString folder = SlashForm(GetDownloadTargetFolder(i_download, false));
    Item* wireName = i_download["file_name"].Get();
    const QString name = LocalName(wireName ? wireName->GetValue() : std::string());
    for (int n = 1; n <= kMaxNumberedNames; ++n)
    {
        const QString path = folder + QLatin1Char('/') + (n == 1 ? name : NumberedName(name, n));
        ItemPtr record = T("partial_file")->HasItem(ToUtf8(path));
        const QFileInfo file(path);
        // A free name; a partial file started for a file of this wire name
        // and size (the same file from another source); one from before
        // partial files were remembered, when it can only be this
        // download's. A record without a wire name is its download's alone.
        const bool free = !file.exists() && !file.isSymLink();
        const bool same = record ? record["file_name"].Get() == wireName && record["file_size"] &&
                                       HoldsStartOf(record, file, size)
                                 : IsUnclaimedPartialOf(i_download, file);
        if (free || same)
        {
            if (o_record)
                *o_record = free ? ItemPtr() : record;
            return path;
        }
    }
    return QString();
}

bool TransferQueueManager::IsUnclaimedPartialOf(ItemPtr i_download, const QFileInfo& i_file)
{
    const qint64 size = i_download["file_size"].AsInt64();
    if (i_file.isDir() || i_file.size() > size)
        return false;
    // Another pending download of the name but of another size, or of
    // another wire name with the same local name, may have started it: then
    // nobody can tell, and it stays as it is.
    const QString folder = GetDownloadTargetFolder(i_download, false);
    Item* name = i_download["file_name"].Get();
    const QString local = LocalName(i_download["file_name"].AsString());
    for (const char* by : {"file_name", "remote_folder"})
        if (Item* shared = i_download[by].Get())
            for (Item* other : shared->GetItems("download_entry"))
            {
                ItemPtr entry(other);
                if (other == i_download.Get() || entry["download_entry_status"].AsString() == "complete" ||
                    (entry["file_name"].Get() == name && entry["file_size"].AsInt64() == size))
                    continue;
                if (GetDownloadTargetFolder(entry, false) == folder &&
                    LocalName(entry["file_name"].AsString()) == local)
                    return false;
            }
    return true;
}

void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr i_download)
{
    if (!i_download)
        return;
    if (Item* folder = i_download["remote_folder"].Get())
        for (Item* other : folder->GetItems("download_entry"))
            if (ItemPtr(other)["download_entry_status"].AsString() != "complete")
                return;
    // Only the kept subfolders, deepest first; the walk never climbs above
    // "downloading", which goes only when the download kept no subfolder.
    const QString root = SlashForm(DownloadRoot(false));
    QString folder = SlashForm(GetDownloadTargetFolder(i_download, false));
    const size_t steps = std::max<size_t>(1, KeptParts(i_download).size());
    for (size_t k = 0; k < steps && (folder == root || IsBelowFolder(folder, root)); ++k)
    {
        QDir().rmdir(folder);
        folder = folder.left(folder.lastIndexOf(QLatin1Char('/')));
    }
}

ItemPtr TransferQueueManager::OtherWriterOf(ItemPtr i_download, const QString& i_path)
{
    Item* downloading = T("download_entry_status")->HasItem("downloading");
    if (!downloading || i_path.isEmpty())
        return ItemPtr();
    for (Item* other : downloading->GetItems("download_entry"))
        if (other != i_download.Get() && SlashForm(GetDownloadTargetPath(other, false)) == i_path)
            return other;
    return ItemPtr();
}

// ---------------------------------------------------------------- file connection and completion

void TransferQueueManager::FailLocally(ItemPtr i_download, const QString& i_what, const QString& i_why)
{
    Log(kCategory, 2, i_what, i_download);
    Log(kCategory, 3, i_why, i_download);
    SetDownloadEntryStatus(i_download, "local error");
}

void TransferQueueManager::OnFileConnection(std::string i_user, QTcpSocket* ip_socket, unsigned int i_requestID)
{
    Item* user = T("user")->HasItem(i_user);
    Log(kCategory, 1, QStringLiteral("File connection created by user %1 for req %2").arg(FromName(i_user)).arg(i_requestID),
        user);
    if (!ip_socket)
        return;
    Item* req = T("remote_transfer_req")->HasItem(Value(i_requestID));
    ItemPtr download = user && req ? d->GetItem(ItemPtr(user), ItemPtr(req), "download_entry") : nullptr;
    if (!download)
    {
        CloseFileConnection(ip_socket);
        Log(kCategory, 2, QStringLiteral("Download not found, aborting"), user);
        return;
    }
    // One writer per partial file: a second connection for a running or
    // finished download, or for a file another download is writing, goes.
    const std::string status = download["download_entry_status"].AsString();
    if (status == "downloading" || status == "complete")
    {
        CloseFileConnection(ip_socket);
        Log(kCategory, 2, QStringLiteral("Download is already %1, closing the new connection").arg(FromLatin1(status)),
            download);
        return;
    }
    ItemPtr record;
    bool startOver = false;
    const QString path = ChoosePartialFile(download, &record, &startOver);
    if (path.isEmpty())
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("No free name for a partial file in %1")
                        .arg(SlashForm(GetDownloadTargetFolder(download, false))));
        return;
    }
    if (OtherWriterOf(download, path))
    {
        CloseFileConnection(ip_socket);
        Log(kCategory, 2, QStringLiteral("Another download is writing %1, closing the connection").arg(path), download);
        return;
    }

    const QString folder = QFileInfo(path).path();
    if (!IsBelowFolder(path, SlashForm(DownloadRoot(false))))
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("%1 is not below the downloading folder").arg(path));
        return;
    }
    if (!QDir().mkpath(folder))
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("Could not create the folder %1").arg(folder));
        return;
    }
    auto file = std::make_unique<QFile>(path);
    const qint64 held = QFileInfo(path).size();
    // WriteOnly alone would truncate what earlier transfers wrote; only a
    // file of a version no longer offered is emptied.
    if (!file->open(QIODevice::WriteOnly | (startOver ? QIODevice::Truncate : QIODevice::Append)))
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("%1: %2").arg(path, file->errorString()));
        return;
    }
    const qint64 size = download["file_size"].AsInt64();
    const qint64 offset = file->size();
    if (offset > size)
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("%1 holds %2 bytes, more than the file's %3").arg(path).arg(offset).arg(size));
        return;
    }
    char offsetBytes[8];
    qToLittleEndian<qint64>(offset, offsetBytes);
    ip_socket->write(offsetBytes, 8);
    ip_socket->flush();

    Data::Operation op(d);
    if (startOver)
        Log(kCategory, 2,
            QStringLiteral("%1 was started for a file of %2 bytes and held %3, the file now has %4 bytes: "
                           "starting over")
                .arg(path)
                .arg(record["file_size"].AsInt64())
                .arg(held)
                .arg(size),
            download);
    // A file started now, or started over, is of this download's file; one
    // resumed keeps the download, wire name and size it was started for.
    if (!record || startOver)
    {
        if (!record)
        {
            record = T("partial_file")->GetItem(ToUtf8(path));
            for (Item* other : record.GetItems("download_entry"))
                ItemPtr(other) -= record;
        }
        record += download["user"];
        record += download["file_name"];
        record += download["file_size"];
    }
    download += record;
    QFile* openFile = ListLiveUntilDestroyed(file.release());
    download += T("download_socket")->GetItem(Value(ListLiveUntilDestroyed(ip_socket)));
    download += T("download_file")->GetItem(Value(openFile));
    download += T("write_position")->GetItem(Value(NewListed<qint64>(offset)));
    SetDownloadEntryStatus(download, "downloading");
    AddProgressObjects(download, QDateTime::currentDateTime());

    ip_socket->disconnect();
    auto* thread = new DownloadThread(ip_socket, openFile, size, offset);
    connect(thread, &DownloadThread::DownloadError, this, &TransferQueueManager::OnDownloadError);
    connect(thread, &DownloadThread::DownloadProgress, this, &TransferQueueManager::OnDownloadProgress);
    connect(thread, &DownloadThread::DownloadComplete, this, &TransferQueueManager::OnDownloadComplete);
    StartThread(download, kDownloadSide, ip_socket, thread);
    Log(kCategory, 2, QStringLiteral("Downloading"), download);
}

void TransferQueueManager::OnDownloadProgress(qint64 i_offset, int i_bytesPerSecond)
{
    ItemPtr download = EntryOfThread(sender(), kDownloadSide);
    if (!download)
        return;
    // UTC: the same instant, without the time-zone look-up that local time
    // costs on every chunk.
    RecordProgress(download, kDownloadSide, i_offset, i_bytesPerSecond, QDateTime::currentDateTimeUtc());
    emit DownloadProgressed(download);
}

ItemPtr TransferQueueManager::EndedDownload(DownloadThread** o_thread)
{
    ItemPtr download = EntryOfThread(sender(), kDownloadSide);
    *o_thread = LiveObject<DownloadThread>(download["download_thread"]);
    if (!*o_thread)
        return ItemPtr();
    (*o_thread)->wait();
    return download;
}

void TransferQueueManager::OnDownloadError()
{
    DownloadThread* thread = nullptr;
    ItemPtr download = EndedDownload(&thread);
    if (!download)
        return;
    // A file that could not be written is this side's fault: asking the
    // uploader again would only fail again.
    const QString why = thread->LocalError();
    if (!why.isEmpty())
    {
        const QFile* file = LiveObject<QFile>(download["download_file"].Get());
        FailLocally(download, QStringLiteral("Could not write %1").arg(file ? file->fileName() : QString()), why);
        return;
    }
    SetDownloadEntryStatus(download, "aborted");
}

void TransferQueueManager::OnDownloadComplete()
{
    DownloadThread* thread = nullptr;
    ItemPtr download = EndedDownload(&thread);
    if (!download)
        return;

    // The file's own path: the download folder may have changed meanwhile.
    const QFile* file = LiveObject<QFile>(download["download_file"].Get());
    const QString source = file ? file->fileName() : SlashForm(GetDownloadTargetPath(download, false));
    const QString folder = SlashForm(GetDownloadTargetFolder(download, true));
    bool shortened = false;
    bool folderShortened = false;
    const QString name = LocalName(download["file_name"].AsString(), &shortened);
    KeptParts(download, &folderShortened);
    QString destination = folder + QLatin1Char('/') + name;
    QString why;
    if (!IsBelowFolder(destination, SlashForm(DownloadRoot(true))))
        why = QStringLiteral("%1 is not below the complete folder").arg(destination);
    else if (!QDir().mkpath(folder))
        why = QStringLiteral("Could not create the folder %1").arg(folder);
    else
    {
        // A name already taken is never replaced: the file takes the next
        // free one beside it.
        int n = 1;
        while (QFileInfo(destination).exists() || QFileInfo(destination).isSymLink())
        {
            if (++n > kMaxNumberedNames)
            {
                why = QStringLiteral("No free name for %1 in %2").arg(name, folder);
                break;
            }
            destination = folder + QLatin1Char('/') + NumberedName(name, n);
        }
        if (why.isEmpty() && !QFile::rename(source, destination))
            why = QStringLiteral("The file system refused the rename");
    }
    if (!why.isEmpty())
    {
        FailLocally(download, QStringLiteral("Could not move %1 to %2").arg(source, destination), why);
        return;
    }

    Data::Operation op(d);
    // The partial file is gone; nothing is to be resumed from its name.
    download["partial_file"].Remove();
    if (shortened || folderShortened)
        Log(kCategory, 2,
            QStringLiteral("%1 is too long a name for the file system, saved as %2")
                .arg(FromName(RemotePath(download)), destination),
            download);
    if (destination != folder + QLatin1Char('/') + name)
    {
        const QString taken = QFileInfo(destination).fileName();
        download += T("complete_file_name")->GetItem(ToUtf8(taken));
        Log(kCategory, 2, QStringLiteral("%1 exists already, saved as %2").arg(name, destination), download);
    }
    SetDownloadEntryStatus(download, "complete");
    RemoveDownloadDownloadingFolderIfAppropriate(download);
    AddCompleteRecord(download);
}

void TransferQueueManager::AddCompleteRecord(ItemPtr i_download)
{
    ItemPtr user = i_download["user"];
    // The record names the file where it now is.
    const std::string folder = ToUtf8(GetDownloadTargetFolder(i_download, true));
    const std::string name = ToUtf8(CompleteFileName(i_download));
    if (ItemNamedBy("complete_download", user.Get(), T("complete_download_folder")->HasItem(folder),
                    T("complete_download_filename")->HasItem(name)))
        return;
    ItemPtr record = T("complete_download")->NewItem();
    record += user;
    record += T("complete_download_folder")->GetItem(folder);
    record += T("complete_download_relative_folder")->GetItem(ToUtf8(GetDownloadRelativeDownloadFolder(i_download)));
    record += T("complete_download_filename")->GetItem(name);
    record += T("complete_download_file_size")->GetItem(i_download["file_size"].AsString());
    record += T("complete_download_completion_time")->GetItem(Now());
    // Downloads carry a search once the search views relate the two.
    Type* searchType = d->HasType("search_request_text");
    if (searchType && T("download_entry")->IsRelated(searchType))
        if (ItemPtr search = i_download.Get()->GetItem(searchType))
            record += search;
    emit CompleteDownloadAdded(record);
}
