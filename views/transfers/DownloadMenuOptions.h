#pragma once
// The download entries of a context menu that someone else owns and runs:
// open the finished file or its folder, remove the downloads, run the
// search again that found them. Lives while that menu runs; entries that
// leave the store meanwhile leave the object too.

#include <QObject>
#include <QString>

#include "Data.h"

class QMenu;

// Opens a file or folder of this machine with the desktop's own program.
void OpenLocalPath(QString i_path);

class DownloadMenuOptions : public QObject, public DataHandler
{
    Q_OBJECT

public:
    // Adds nothing for an empty set.
    DownloadMenuOptions(QMenu* ip_menu, ItemSet i_entries, QObject* ip_parent = nullptr);
    ~DownloadMenuOptions() override;

    const ItemSet& Entries() const { return m_entries; }

public slots:
    void OnRemoveDownloads();
    void OnRerunSearch();
    void OnOpenFile();
    void OnOpenFolder();

private:
    void OnDownloadEntryRemoved(Item* ip_entry);

    ItemSet m_entries;
    QString m_searchText;
};
