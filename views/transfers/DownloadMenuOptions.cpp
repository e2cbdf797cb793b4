#include "DownloadMenuOptions.h"

#include "ShownNames.h"
#include "TextConversion.h"
#include "TransferQueueManager.h"
#include "server.h"

#include <QDesktopServices>
#include <QIcon>
#include <QMenu>
#include <QUrl>

void OpenLocalPath(QString i_path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(i_path.replace(QLatin1Char('\\'), QLatin1Char('/'))));
}

DownloadMenuOptions::DownloadMenuOptions(QMenu* ip_menu, ItemSet i_entries, QObject* ip_parent)
    : QObject(ip_parent), m_entries(std::move(i_entries))
{
    if (m_entries.empty() || !ip_menu)
        return;
    if (Type* entryType = d->HasType("download_entry"))
        AddHandler(entryType->itemRemoved, this, &DownloadMenuOptions::OnDownloadEntryRemoved);

    ItemPtr first = m_entries.First();
    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();
    if (m_entries.size() == 1 && first["download_entry_status"].AsString() == "complete")
        connect(ip_menu->addAction(tr("Open File")), &QAction::triggered, this, &DownloadMenuOptions::OnOpenFile);
    connect(ip_menu->addAction(tr("Open Folder")), &QAction::triggered, this, &DownloadMenuOptions::OnOpenFolder);
    ip_menu->addSeparator();
    QAction* remove = ip_menu->addAction(QIcon(QStringLiteral(":/icons/transfer_icon")),
                                         m_entries.size() == 1 ? tr("Remove download") : tr("Remove downloads"));
    connect(remove, &QAction::triggered, this, &DownloadMenuOptions::OnRemoveDownloads);
    // Downloads carry a search once the search views relate the two.
    Type* searchType = d->HasType("search_request_text");
    if (searchType && first->GetType()->IsRelated(searchType))
        if (ItemPtr search = first.Get()->GetItem(searchType))
        {
            m_searchText = FromUtf8(search.AsString());
            // Shown as typed, of bounded width.
            const QString shown = BoundedMnemonicName(m_searchText, ip_menu->fontMetrics());
            QAction* rerun =
                ip_menu->addAction(QIcon(QStringLiteral(":/icons/search_icon")), tr("Re-run Search: ") + shown);
            connect(rerun, &QAction::triggered, this, &DownloadMenuOptions::OnRerunSearch);
        }
}

DownloadMenuOptions::~DownloadMenuOptions()
{
    DisableHandlers();
}

void DownloadMenuOptions::OnDownloadEntryRemoved(Item* ip_entry)
{
    m_entries.erase(ip_entry);
}

void DownloadMenuOptions::OnRemoveDownloads()
{
    if (!transferQueueManager)
        return;
    // Each removal may take others with it; the handler above keeps the
    // set to live entries, so walk a copy and look again before each.
    const ItemSet entries = m_entries;
    Data::Operation op(d);
    for (Item* entry : entries)
        if (m_entries.Contains(entry))
            transferQueueManager->RemoveDownload(entry);
}

void DownloadMenuOptions::OnRerunSearch()
{
    if (gp_server)
        gp_server->FileSearch(ToUtf8(m_searchText), false);
}

void DownloadMenuOptions::OnOpenFile()
{
    if (transferQueueManager && !m_entries.empty())
        OpenLocalPath(transferQueueManager->GetDownloadTargetPath(m_entries.First(), true));
}

void DownloadMenuOptions::OnOpenFolder()
{
    if (transferQueueManager && !m_entries.empty())
        OpenLocalPath(transferQueueManager->GetDownloadTargetFolder(m_entries.First(), true));
}
