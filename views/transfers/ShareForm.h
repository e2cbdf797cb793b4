#pragma once
// One browse tab: another user's shared files as a folder tree and the file
// list of the chosen folder, narrowed by a filter line, with downloads of
// files and whole folders. Until the share arrives only a message area shows.
// Rows find their store items (and back) through node items valued with the
// row's address.

#include <QString>
#include <QWidget>

#include <string>

#include "Data.h"
#include "TransferQueueManager.h"

class FilterParser;
class QShowEvent;
class QTreeWidget;
class QTreeWidgetItem;
namespace Ui {
class ShareForm;
}

class ShareForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    ShareForm(std::string i_user, QWidget* ip_parent = nullptr);
    ~ShareForm() override;

    // The user's stored share; a second one while one is held is dropped.
    void SetShare(ItemPtr i_share);
    // Removes the user's share, the tab item and this view.
    void Delete();

    void ExpandLevel();
    void CollapseAll();
    void ExpandAll();

    // Queues every file of the folder and of the folders below it, so that
    // the tree arrives under the folder's own name: its own files at level 0
    // (1 with i_subfolder), each folder further down one level more.
    void DownloadFolder(ItemPtr i_folder, bool i_subfolder);
    // Shows or hides the row and its subtree; true when the row is visible.
    bool FilterFolderNode(QTreeWidgetItem* ip_node, FilterParser& i_filter);

    const std::string& User() const { return m_user; }
    ItemPtr Share() const { return m_share; }
    int DeepestLevel() const { return m_deepestLevel; }
    QTreeWidget* FolderTree() const;
    QTreeWidget* FileList() const;

    // The port-test page: our scheme and host, with the port as %1.
    static const char* const kPortTestUrl;

public slots:
    void OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnFileItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnActionBarTriggered(std::string i_action);
    void OnFilterTextChanged(QString i_text);
    void OnFilterHelpClicked();
    void OnConnectionToUserFailed(std::string i_user, std::string i_connectionType);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void OnShareRemoved(Item* ip_share);
    // Empties the file list and removes exactly the node items of its rows.
    void ClearFileRows();
    ItemPtr FolderOfRow(QTreeWidgetItem* ip_row) const;
    ItemPtr FileOfRow(QTreeWidgetItem* ip_row) const;
    void QueueFile(ItemPtr i_file, ItemPtr i_folder, int i_level);
    TransferQueueManager::DownloadRequest RequestFor(ItemPtr i_file, ItemPtr i_folder, int i_level) const;
    void PostEvent(QWidget* ip_widget);
    // Removes the node items of every folder row, through the share's
    // folders: none is left once the share is gone.
    void ClearFolderNodes();

    Ui::ShareForm* mp_ui;
    ItemPtr m_share;
    int m_deepestLevel = 0;
    int m_expandLevel = 0;
    std::string m_user;
    bool m_settled = false;
};
