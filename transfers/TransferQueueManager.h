#pragma once
// The transfer queue: owns every download and upload of the client. The
// download queue and the record of completed downloads live in the store and
// are saved; the upload queue and everything a running transfer needs live
// only for the run. One object, global `transferQueueManager`; everything
// here runs on the main thread except the transfer threads, which reach the
// queue only through queued signals and the upload speed state below.
// Its definition lies in the TransferQueue*.cpp files beside this one, one
// file per concern.

#include "Data.h"
#include "PeerProviders.h"
#include "UploadRateLimiter.h"
#include "DownloadFolderProvider.h"
#include "UploadStatusProvider.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

class DownloadThread;
class UploadThread;
class TransferThread;
class QFileInfo;
class QTcpSocket;
struct TransferSide;

class TransferQueueManager : public QObject,
                             public DataHandler,
                             public DataLoadedEventHandler,
                             public UploadStatusProvider,
                             public UploadPlaceProvider,
                             public TransferExpectations,
                             public DownloadFolderProvider
{
    Q_OBJECT

public:
    // Creates the whole schema of the transfers, the settings it needs and
    // the connections to the peer network and the shared timers; sets
    // `transferQueueManager`. Needs `timerManager`, `dataSaver`,
    // `peerMessenger`, `gp_server` and their types.
    TransferQueueManager();
    // Tells every transfer thread to stop, then waits for each. The store
    // items and the objects they name stay.
    ~TransferQueueManager() override;

    // After the state file is loaded: unfinished downloads start as
    // "queued", their users are tracked, TransfersLoaded is emitted.
    void DataLoaded() override;

    // For tests: the clock of status times, the negotiation time-outs and
    // the pacing of place-in-line requests.
    void SetClock(std::function<QDateTime()> i_now);

    // A diagnostic: logs every second how late the timer fired.
    void StartTimerTest();

    // ---- download queue

    // The entry for the triple, new (queued with the uploader when online)
    // or existing (unchanged).
    ItemPtr AddDownload(std::string i_user, std::string i_fileName, std::string i_remoteFolder,
                        qint64 i_size, int i_subfolderSaveLevel);
    struct DownloadRequest
    {
        std::string user, fileName, remoteFolder;
        qint64 size = 0;
        int subfolderSaveLevel = 0;
    };
    // Many downloads as AddDownload adds each, in one store operation (the
    // views follow once), the order counter written and each user tracked
    // once; the uploaders are asked in queue order over the next turns of
    // the event loop. The entries in the order asked.
    std::vector<ItemPtr> AddDownloads(const std::vector<DownloadRequest>& i_requests);
    // The entry for the triple, or null; never creates items.
    ItemPtr GetDownloadEntry(std::string i_user, std::string i_fileName, std::string i_remoteFolder);
    // Asks the uploader again to queue the file, unless the download failed
    // locally or the user is offline. The status stays.
    void QueueDownloadIfUserOnline(ItemPtr i_download);
    // Path handler: a user came online.
    void OnUserOnline(Item* ip_user);
    bool IsActivelyDownloadingFromUser(std::string i_user);
    void RequestDownloadPlaceInLine(ItemPtr i_download);
    void RequestUserDownloadsPlaceInLine(std::string i_user);
    // The one way a download changes status after it was added; leaving
    // "downloading" releases the thread, file, socket and progress objects.
    void SetDownloadEntryStatus(ItemPtr i_download, std::string i_status);
    // Stops and releases a running transfer and removes the entry. Nothing
    // is sent; files on disk stay.
    void RemoveDownload(ItemPtr i_download);

    // ---- download folders ("\" separated, UTF-8)

    QString GetDownloadTargetFolder(ItemPtr i_download, bool i_complete);
    QString GetDownloadRelativeDownloadFolder(ItemPtr i_download);
    QString GetDownloadTargetPath(ItemPtr i_download, bool i_complete);
    bool DoesDownloadItemCompleteFilenameExist(ItemPtr i_download);
    void RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr i_download);
    // The "downloading" folder as a local path, which no share lists.
    std::string UnfinishedDownloadsFolder() override;

    // ---- upload queue

    // Fills free upload slots in effective order: one upload per user at a
    // time, online users only, files still shared with them.
    void StartNewUploads();
    bool IsFreeToUpload() override;
    unsigned int QueuedUploadCount() override;
    bool GetUploadPlaceInLine(const std::string& i_user, const std::string& i_file, int& o_place) override;
    bool ExpectsTransferWith(const std::string& i_user) override;
    bool UploadEntrySortCompare(ItemPtr i_a, ItemPtr i_b);
    int GetUserGroupDownloadPriority(std::string i_user);
    void OrderNewUpload(ItemPtr i_upload);
    void UnshareUser(std::string i_user);
    void ReshareUser(std::string i_user);
    void AssertNoExtraUploads();
    // The one way an upload changes status after it was created.
    // Leaving the active statuses releases the thread, file, socket and
    // progress objects; "aborted" tells the peer.
    void SetUploadEntryStatus(ItemPtr i_upload, std::string i_status);
    // Stops and releases the upload and removes the entry; a freed slot
    // goes to the next queued upload. Nothing is sent.
    void RemoveUpload(ItemPtr i_upload);

    // ---- upload slots and speed limit

    void SetUploadSlots(int i_slots);
    void SetUploadSpeedLimit(int i_limit);
    void EnableUploadSpeedLimit(bool i_enabled);
    void DetermineUploadSpeedLimit();
    // The total limit in KiB/s (0: none); safe from any thread.
    int GetUploadSpeed();
    // What the upload threads share; they take it at their start.
    UploadRateLimiter* RateLimiter() { return &m_uploadRateLimiter; }

    // ---- item-removed handlers: free the object an item's value names

    void OnWritePositionRemoved(Item* ip_item);
    void OnReadPositionRemoved(Item* ip_item);
    void OnLastReceiptTimeRemoved(Item* ip_item);
    void OnLastSpeedMeasurementTimeRemoved(Item* ip_item);
    void OnBytesPerSecondRemoved(Item* ip_item);
    void OnBytesSinceLastReceiptRemoved(Item* ip_item);
    void OnBytesUploadedRemoved(Item* ip_item);

    // Whether an ordered pass (user online, periodic check) is still
    // sending in slices on later event-loop turns.
    bool IsPassRunning() const { return !m_passes.empty(); }
    // For tests: how long a slice of a pass may run before it yields.
    void SetPassSlice(qint64 i_ms) { m_passSliceMs = i_ms; }

public slots:
    void OnFileTransferRequest(std::string i_user, int i_direction, unsigned int i_req,
                               std::string i_file, qint64 i_fileSize);
    void OnFileConnection(std::string i_user, QTcpSocket* ip_socket, unsigned int i_requestID);
    // i_reached false: the connection only claims the user's name; the file
    // is given only if it would be to a stranger.
    void OnQueueUploadRequested(std::string i_user, std::string i_file, bool i_reached = true);
    void OnFileConnectionAccepted(std::string i_user, QTcpSocket* ip_socket);
    // A file connection asked for could not be made (or its attempt ended
    // with the server connection): the upload waiting for it goes back to
    // its place in the queue, and the user is not told it failed.
    void OnConnectionToUserFailed(std::string i_user, std::string i_type);
    void OnFileTransferResponse(std::string i_user, unsigned int i_req, bool i_accepted,
                                bool i_receivedFileSize, qint64 i_fileSize, std::string i_denialReason);
    void OnUploadFailedNotification(std::string i_user, std::string i_file);
    void OnUploadDeniedNotification(std::string i_user, std::string i_file, std::string i_reason);
    void PeriodicCheck();
    void EveryHalfMinute();
    void TimerTest();
    void OnDownloadPlaceInLine(std::string i_user, std::string i_file, int i_place);
    void OnUploadError();
    void OnUploadProgress(qint64 i_offset, int i_bytesPerSecond);
    void OnUploadComplete();
    void OnDownloadError();
    void OnDownloadProgress(qint64 i_offset, int i_bytesPerSecond);
    void OnDownloadComplete();
    void DetermineUploadsEffectiveOrder();

signals:
    void DownloadProgressed(ItemPtr i_download);
    void UploadProgressed(ItemPtr i_upload);
    void TransfersLoaded();
    void CompleteDownloadAdded(ItemPtr i_download);

private:
    // A long ordered pass over downloads, sent in slices so that the window
    // never freezes. Entries removed meanwhile are noted and skipped.
    struct Pass
    {
        // An item held with its serial, by which its removal is noted: the
        // store gives a removed item's memory to the next new one, but never
        // its serial.
        struct Held
        {
            Held(Item* ip_item = nullptr) : item(ip_item), serial(ip_item ? ip_item->Serial() : 0) {}
            Item* item;
            uint64_t serial;
        };
        // Requeue: the periodic check. UserOnline: a user came online.
        // Reask: a user's waiting downloads, asked for again.
        enum Kind { UserOnline, Requeue, Reask } kind = Requeue;
        Held user;                        // UserOnline, Reask: the user asked
        std::vector<Held> downloads;      // in ascending download order
        size_t next = 0;
    };
    void StartPass(Pass&& i_pass);
    // A new entry for the triple, with the order number io_order or the
    // next free one after it; io_order becomes the number after it.
    ItemPtr NewDownload(const DownloadRequest& i_request, long long& io_order);
    void RunPasses();
    // One download of a pass; false when the rest of the pass is dropped.
    bool PassStep(const Pass& i_pass, Item* ip_download);
    void OnDownloadEntryRemoved(Item* ip_item);
    void OnUserRemoved(Item* ip_item);

    bool IsAnythingDownloading() const;

    // Download folders: the "downloading" or "complete" folder in the "\"
    // form, and the local names of a download's folders below it;
    // o_shortened: whether one was cut to fit the file system.
    static QString DownloadRoot(bool i_complete);
    static QStringList KeptParts(ItemPtr i_download, bool* o_shortened = nullptr);
    // Another "downloading" entry that writes the partial file at the path.
    ItemPtr OtherWriterOf(ItemPtr i_download, const QString& i_path);
    // The partial file ("/" form) a transfer of the download writes: its
    // own while it is there, else the first name in its downloading folder
    // that is free or holds a partial file it may resume (one of the same
    // wire name, started for the same size); o_record: that file's record,
    // null for a free name. Empty when no name is left. o_startOver: the
    // own file was started for another size, and is written anew.
    QString ChoosePartialFile(ItemPtr i_download, ItemPtr* o_record = nullptr, bool* o_startOver = nullptr);
    // A partial file that no record names (written before partial files
    // were remembered): it may be this download's when it is not longer and
    // no other pending download of the local name, of another size or wire
    // name, exists.
    bool IsUnclaimedPartialOf(ItemPtr i_download, const QFileInfo& i_file);
    // The download's file is in the complete folder with its size, and no
    // partial file of its own is left: it needs no transfer.
    bool IsFinishedOnDisk(ItemPtr i_download);
    // The name of the download's file in the complete folder.
    QString CompleteFileName(ItemPtr i_download);
    // Ends a download for a fault on this side, with a log line why.
    void FailLocally(ItemPtr i_download, const QString& i_what, const QString& i_why);
    void AddCompleteRecord(ItemPtr i_download);
    // The file as the uploader names it: remote folder + "\" + file name.
    static std::string RemotePath(ItemPtr i_download);
    // The entry of the user's download the uploader names by that path.
    ItemPtr DownloadOfRemotePath(const std::string& i_user, const std::string& i_path);
    // The download a peer's notice names, after a log line of what came;
    // null, with a line, when there is none.
    ItemPtr NotifiedDownload(const std::string& i_user, const std::string& i_file, const QString& i_what);
    // The current local time as stored in time items.
    std::string Now() const;
    QDateTime CurrentTime() const;

    // What a download and an upload do alike, each under its own types.
    // The entry of a transfer thread that sent a signal; null when the
    // thread is no longer recorded (its transfer ended or was removed).
    ItemPtr EntryOfThread(const QObject* ip_thread, const TransferSide& i_side) const;
    // The download whose thread sent the signal, with that thread waited
    // for; null when either is gone.
    ItemPtr EndedDownload(DownloadThread** o_thread);
    // Sets the status and the time of the change; an entry that leaves an
    // active status is released, and then true is returned.
    // i_now: the time text of the change; empty for the clock's now.
    bool SetEntryStatus(ItemPtr i_entry, const TransferSide& i_side, const std::string& i_status,
                        const std::string& i_now = std::string());
    // Stops the thread and frees the file, the socket and the progress
    // objects of a transfer.
    void ReleaseTransfer(ItemPtr i_entry, const TransferSide& i_side);
    // The objects a running transfer's progress is measured in.
    void AddProgressObjects(ItemPtr i_entry, const QDateTime& i_now);
    void RecordProgress(ItemPtr i_entry, const TransferSide& i_side, qint64 i_offset, int i_bytesPerSecond,
                        const QDateTime& i_receipt);
    // Hands the socket to the thread, records the thread and starts it;
    // its signals are connected by then.
    void StartThread(ItemPtr i_entry, const TransferSide& i_side, QTcpSocket* ip_socket, TransferThread* ip_thread);

    // Upload helpers.
    size_t ActiveUploadCount() const;
    ItemSet ActiveUploads() const;
    bool IsUploadingToUser(Item* ip_user) const;
    // The entry still has its file, and the file is visible to its user.
    bool IsStillShared(ItemPtr i_upload);
    // Tells the peer "File not shared." and removes the entry.
    void DenyUnshared(ItemPtr i_upload);
    // Removes the entry; true when it held an active slot.
    bool ReleaseAndRemoveUpload(ItemPtr i_upload);

    // The timer test.
    QTimer m_timerTestTimer;
    QElapsedTimer m_timerTestElapsed;

    // The upload speed limits and the byte allowance, shared with the
    // upload threads.
    UploadRateLimiter m_uploadRateLimiter;

    // The upload that was last placed at the end of the effective order.
    Item* mp_lastOrderedUpload = nullptr;

    // Users whose file connections failed since one was last made, with
    // how many; from the second on, until when they are not offered an
    // upload again: a user both sides cannot connect to would otherwise be
    // asked without end, while one drop of the server costs no wait.
    static constexpr int FILE_RETRY_MS = 10000;
    std::map<std::string, int> m_fileFailures;
    std::map<std::string, QDeadlineTimer> m_fileRetryAfter;

    std::function<QDateTime()> m_clock;

    std::deque<Pass> m_passes;
    // The serials of entries and users removed while passes run.
    std::unordered_set<uint64_t> m_removedInPass;
    qint64 m_passSliceMs = 20;
    QTimer m_passTimer;
};

extern TransferQueueManager* transferQueueManager;
