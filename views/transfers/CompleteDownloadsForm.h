#pragma once
// The finished downloads, newest first: file, folder, user, size and the
// time each completed. At most one exists (`completeDownloadsForm`).

#include <QDateTime>
#include <QTreeWidgetItem>
#include <QWidget>

#include "Data.h"

namespace Ui {
class CompleteDownloadsForm;
}

// A row; it orders by the completion time it was made with (an unreadable
// time counts as the oldest).
class CompleteDownloadItem : public QTreeWidgetItem
{
public:
    CompleteDownloadItem(QTreeWidget* ip_tree, const QDateTime& i_completed);
    bool operator<(const QTreeWidgetItem& i_other) const override;
    const QDateTime& Completed() const { return m_completed; }

private:
    QDateTime m_completed;
};

class CompleteDownloadsForm : public QWidget, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit CompleteDownloadsForm(QWidget* ip_parent = nullptr);
    ~CompleteDownloadsForm() override;

    // Lists the finished downloads the store holds and follows new ones.
    void Init();
    void DataLoaded() override;

    QTreeWidget* DownloadList() const;

public slots:
    void OnCompleteDownloadAdded(ItemPtr i_download);

private:
    // False when the download has a row already.
    bool AddRow(ItemPtr i_download);

    Ui::CompleteDownloadsForm* mp_ui;
};

extern CompleteDownloadsForm* completeDownloadsForm;
