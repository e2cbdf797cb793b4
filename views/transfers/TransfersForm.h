#pragma once
// The transfers tab: the download and upload trees (a row per user, below it
// a row per folder, below that a row per entry), kept in step with the
// store through its events; live progress, time left and speed; the clear
// options, the upload slot and speed settings, the context menus and the
// completed downloads.
//
// Each row is tied to what it shows by a node item whose value is the row's
// address. Progress reports and status changes only mark rows; their cells
// and the totals of their folder and user rows are written once per
// event-loop turn, so a burst of reports costs one pass per group.

#include <QDateTime>
#include <QPoint>
#include <QTimer>
#include <QWidget>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Data.h"

class QKeyEvent;
class QTreeWidget;
class QTreeWidgetItem;
class TreeWidget;
namespace Ui {
class TransfersForm;
}

class TransfersForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit TransfersForm(QWidget* ip_parent = nullptr);
    ~TransfersForm() override;

    // Runs before the state file is loaded and after the transfer queue
    // exists.
    void Init();
    // Puts the stored upload and clear settings into their widgets, then
    // follows the widgets.
    void DataLoaded() override;

    QTreeWidget* DownloadsList() const;
    QTreeWidget* UploadsList() const;

    // The row colour of a status word (or an aggregate status).
    static void SetItemColorByStatus(QTreeWidgetItem* ip_row, const std::string& i_status);
    std::string GetDownloadEntriesAggregateStatus(const ItemSet& i_entries);
    std::string GetUploadEntriesAggregateStatus(const ItemSet& i_entries);
    // The entries a row stands for: all of a user's or folder's, or one.
    ItemSet GetNodeDownloadEntryItems(QTreeWidgetItem* ip_row);
    ItemSet GetNodeUploadEntryItems(QTreeWidgetItem* ip_row);
    QTreeWidgetItem* GetDownloadNodeUserNode(QTreeWidgetItem* ip_row);
    QTreeWidgetItem* GetUploadNodeUserNode(QTreeWidgetItem* ip_row);
    // Bytes done, left and in all over the entries, by their status.
    void GetDownloadsProgressStats(const ItemSet& i_entries, qint64& o_done, qint64& o_remaining, qint64& o_total);
    void GetUploadsProgressStats(const ItemSet& i_entries, qint64& o_done, qint64& o_remaining, qint64& o_total);

    void DeleteSelectedDownloads();
    // Removes the uploads that finished and saw no change for five minutes
    // at i_now, when the upload clear option is on.
    void ClearIdleUploads(const QDateTime& i_now);

signals:
    void DownloadComplete(ItemPtr i_download);

public slots:
    void OnTransfersLoaded();
    void OnUserOnline(Item* ip_user);
    void OnUserOffline(Item* ip_user);
    void OnCurrentTabChanged(int i_tabIndex);
    void OnDownloadProgress(ItemPtr i_download);
    void OnUploadProgress(ItemPtr i_upload);
    void OnDownloadComplete(ItemPtr i_download);
    void OnActionBarTriggered(std::string i_action);
    void OnKeyPressedInDownloadList(QKeyEvent* ip_event);
    void OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnDownloadsContextMenuRequested(QPoint i_point);
    void OnUploadsContextMenuRequested(QPoint i_point);
    void OnClearDownloadsCheckStateChanged(int i_state);
    void OnClearUploadsCheckStateChanged(int i_state);
    void EveryHalfMinute();
    void OnItemExpanded(QTreeWidgetItem* ip_item);
    void OnItemCollapsed(QTreeWidgetItem* ip_item);
    void OnUploadSlotsSpinValueChanged(int i_value);
    void OnUploadSpeedLimitSpinValueChanged(int i_value);
    void OnUploadSpeedLimitCheckStateChanged(int i_state);

private:
    // What a group row owes the next redraw: its totals (for the entry that
    // reported last) and its aggregate status.
    struct GroupMark
    {
        Item* reporter = nullptr;
        bool status = false;
    };
    // One tree and the types that tie its rows to the store.
    struct Side
    {
        bool download = true;
        TreeWidget* tree = nullptr;
        Type* userNode = nullptr;
        Type* folderNode = nullptr;
        Type* entryNode = nullptr;
        Type* entryType = nullptr;
        Type* statusType = nullptr;
        // The live counters and the size, looked up once.
        Type* positionType = nullptr;
        Type* speedType = nullptr;
        Type* sizeType = nullptr;
        Type* sharedFileType = nullptr;   // uploads: the size sits on the shared file
        const char* activeStatus = "";
        bool* expandUsers = nullptr;
        bool* expandFolders = nullptr;
        // Marked since the last redraw: entries in report order, and group
        // rows.
        std::vector<Item*> entries;
        std::unordered_set<Item*> entrySet;
        std::vector<QTreeWidgetItem*> groupOrder;
        std::unordered_map<QTreeWidgetItem*, GroupMark> groups;
        // What the running store operation did to rows, done to the tree
        // when it ends, in one pass however many rows: new rows with the
        // rows they go under (null: the top), new group rows to open, and
        // rows whose entries left the store.
        std::vector<std::pair<QTreeWidgetItem*, QTreeWidgetItem*>> arriving;
        std::vector<QTreeWidgetItem*> opening;
        std::vector<QTreeWidgetItem*> leaving;
    };
    enum RowKind { UserRow, FolderRow, EntryRow, NoRow };

    void OnDownloadEntryAdded(Item* ip_entry);
    void OnUploadEntryAdded(Item* ip_entry);
    void OnDownloadEntryRemoved(Item* ip_entry);
    void OnUploadEntryRemoved(Item* ip_entry);
    void OnDownloadEntryStatusChange(ConnectionInfo& i_info);
    void OnUploadEntryStatusChange(ConnectionInfo& i_info);
    void OnDownloadPlaceInLine(Item* ip_entry);

    void AddRow(Side& io_side, Item* ip_entry);
    void RemoveRow(Side& io_side, Item* ip_entry);
    // A new row under the row (null: at the top); it joins the tree when
    // the running store operation ends, or at once under a row that is
    // still waiting itself.
    QTreeWidgetItem* NewRow(Side& io_side, QTreeWidgetItem* ip_parent);
    // The row no longer shows anything; it leaves the tree when the running
    // store operation ends.
    void LeaveTree(Side& io_side, QTreeWidgetItem* ip_row);
    void ScheduleRowChanges();
    void ApplyRowChanges();
    // The folder and user rows of an entry's node, whether or not they are
    // in the tree yet.
    void GroupRowsOf(const Side& i_side, Item* ip_entryNode, QTreeWidgetItem*& o_folderRow,
                     QTreeWidgetItem*& o_userRow) const;
    void StatusChanged(Side& io_side, Item* ip_entry, Item* ip_status);
    void MarkProgress(Side& io_side, Item* ip_entry);
    void MarkGroup(Side& io_side, QTreeWidgetItem* ip_row, Item* ip_reporter, bool i_status);
    void ForgetGroup(Side& io_side, QTreeWidgetItem* ip_row);
    void ScheduleRedraw();
    void Redraw();
    void RedrawSide(Side& io_side);
    void WriteMarked(Side& io_side);
    void DrawEntry(Side& io_side, Item* ip_entry);
    void DrawGroup(Side& io_side, QTreeWidgetItem* ip_row, const GroupMark& i_mark);

    Side* SideOf(QTreeWidgetItem* ip_row);
    RowKind KindOf(const Side& i_side, QTreeWidgetItem* ip_row, Item** op_node = nullptr) const;
    static QTreeWidgetItem* RowOf(Item* ip_node);
    QTreeWidgetItem* UserRowOf(const Side& i_side, QTreeWidgetItem* ip_row) const;
    // The user a row belongs to; "" for no row.
    std::string UserNameOf(const Side& i_side, QTreeWidgetItem* ip_row) const;
    // The entries under a row, in tree order.
    void EntriesOf(const Side& i_side, QTreeWidgetItem* ip_row, std::vector<Item*>& o_entries) const;
    ItemSet EntrySet(const Side& i_side, QTreeWidgetItem* ip_row) const;
    std::string AggregateStatus(const Side& i_side, const std::vector<Item*>& i_entries) const;
    void ProgressStats(const Side& i_side, const std::vector<Item*>& i_entries, qint64& o_done,
                       qint64& o_remaining, qint64& o_total) const;
    // Position, size and speed of an entry; the live counters read 0 while
    // they are missing.
    qint64 Position(const Side& i_side, Item* ip_entry) const;
    qint64 Size(const Side& i_side, Item* ip_entry) const;
    qint64 Speed(Item* ip_entry) const;
    bool IsActive(const Side& i_side, Item* ip_entry) const;
    // The row that shows the entry's speed: the topmost visible one.
    static QTreeWidgetItem* TopmostVisible(QTreeWidgetItem* ip_entryRow);
    void ToggleExpand(Side& io_side, bool i_users);

    Ui::TransfersForm* mp_ui;
    bool m_transfersLoaded = false;
    bool m_expandDownloadFolders = true;
    bool m_expandDownloadUsers = true;
    bool m_expandUploadFolders = true;
    bool m_expandUploadUsers = true;
    Side m_downloads;
    Side m_uploads;
    // Entries that reached "complete" and whose queued completion has not
    // run yet; a removed entry leaves, so a late call never touches it.
    std::unordered_set<Item*> m_pendingComplete;
    QTimer m_redrawTimer;
    bool m_rowChangesPending = false;
};
