#pragma once
// The browse page as start-up builds it, around the real shared-files
// manager (which stores received shares) and the real transfer queue, in a
// window with both toolbars.

#include "views/widgets/WidgetTestSupport.h"
#include "transfers/TransferTestSupport.h"

#include "ActionSetToolBar.h"
#include "EventToolBar.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "TabWidget.h"

#include <QLineEdit>
#include <QMainWindow>
#include <QTreeWidget>

#include <map>
#include <vector>

namespace sharebrowser
{
using namespace transfertest;

// Folder path ("\"-separated) to its file names, each of 1000 bytes.
using Listing = std::map<std::string, std::vector<std::string>>;

class BrowseFixture
{
public:
    QueueFixture m_queue;
    QMainWindow* mp_window = nullptr;
    SharesForm* mp_form = nullptr;

    bool SetUp()
    {
        m_queue.Build();
        m_queue.Listen();
        mp_window = new QMainWindow;
        mp_window->resize(900, 600);
        mp_window->addToolBar(new ActionSetToolBar(mp_window));
        mp_window->addToolBar(new EventToolBar(mp_window));
        mp_form = new SharesForm;
        mp_window->setCentralWidget(mp_form);
        mp_form->Init();
        dataSaver->NotifyDataLoaded();
        return ShowActive(mp_window);
    }

    void TearDown()
    {
        delete mp_window;
        mp_window = nullptr;
        mp_form = nullptr;
        RunDeferredDeletes();
        m_queue.TearDown();
    }

    static void Store(const std::string& i_user, const Listing& i_listing)
    {
        FileInfoMap share;
        for (const auto& [folder, files] : i_listing)
        {
            std::set<FileInfo>& records = share[folder];
            for (const std::string& name : files)
                records.insert(FileInfo(name, 1000));
        }
        AttributeTranslationTable table;
        sharedFoldersManager->OnUserShare(i_user, share, table);
    }

    ShareForm* View(int i_tab) const { return qobject_cast<ShareForm*>(mp_form->TabControl()->widget(i_tab)); }
    int Tabs() const { return mp_form->TabControl()->count(); }

    // Browses the user and stores the listing as the peer's reply.
    ShareForm* Browse(const std::string& i_user, const Listing& i_listing)
    {
        mp_form->OpenShareBrowse(i_user);
        Store(i_user, i_listing);
        for (int k = 0; k < Tabs(); ++k)
            if (View(k)->User() == i_user)
                return View(k);
        return nullptr;
    }

    // The row of a folder tree by its displayed path of names.
    static QTreeWidgetItem* Row(QTreeWidget* ip_tree, const QStringList& i_names)
    {
        QTreeWidgetItem* row = nullptr;
        for (const QString& name : i_names)
        {
            QTreeWidgetItem* next = nullptr;
            const int n = row ? row->childCount() : ip_tree->topLevelItemCount();
            for (int k = 0; k < n && !next; ++k)
            {
                QTreeWidgetItem* candidate = row ? row->child(k) : ip_tree->topLevelItem(k);
                if (candidate->text(0) == name)
                    next = candidate;
            }
            if (!next)
                return nullptr;
            row = next;
        }
        return row;
    }

    static QStringList Texts(QTreeWidget* ip_list) { return Column(ip_list, 0); }

    // Queued downloads as "folder|file|level", in queue order.
    static QStringList Queued()
    {
        QStringList queued;
        for (Item* download : g("download_entry"))
        {
            ItemPtr entry(download);
            queued << QString::fromStdString(entry["remote_folder"].AsString() + "|" +
                                             entry["file_name"].AsString() + "|" +
                                             entry["subfolder_save_level"].AsString());
        }
        return queued;
    }

    static size_t Count(const char* ip_type)
    {
        Type* type = d->HasType(ip_type);
        return type ? type->ItemCount() : 0;
    }
};

} // namespace sharebrowser
