// What the user does with results: queueing files, folders and all of a
// user's files, the expand and order toggles of the tab the toolbar names,
// the user menu on a row and the filter help.

#include "SearchTestSupport.h"

#include "FilterHelpDialog.h"
#include "StoreLookup.h"
#include "TextConversion.h"
#include "UserMenuOptions.h"

#include <QApplication>
#include <QMenu>

using namespace searchtest;

namespace
{
// The download entries in the order they were queued.
std::vector<ItemPtr> Downloads()
{
    std::vector<ItemPtr> entries;
    for (Item* entry : AllItems("download_entry"))
        entries.push_back(entry);
    std::sort(entries.begin(), entries.end(), [](ItemPtr a, ItemPtr b) { return a->Serial() < b->Serial(); });
    return entries;
}

// What the toolbar's "widget" key names, as the toolbar sets it.
void SetWidgetKey(const std::string& i_value)
{
    GetItem("active_action_key", "widget") += GetItem("active_action_value", i_value);
}

QMenu* OpenMenu()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* menu = qobject_cast<QMenu*>(widget); menu && menu->isVisible())
            return menu;
    return nullptr;
}
}

class TestResultActions : public QObject
{
    Q_OBJECT

    Fixture m_f;
    SearchResultsForm* mp_tab = nullptr;
    QTreeWidget* mp_tree = nullptr;

    // A tab for "beatles" with ringo's two folders and paul's one.
    void Populate()
    {
        m_f.Search(QStringLiteral("beatles"));
        mp_tab = m_f.ManualTab(0);
        mp_tree = mp_tab->searchResults();
        const unsigned int token = Fixture::LastToken();
        QVERIFY(m_f.Reply("ringo", token,
                          {{"Music\\Abbey\\a.mp3", 100}, {"Music\\Abbey\\B.mp3", 200}, {"Music\\Help\\c.mp3", 300}},
                          true, 1000, 0));
        QVERIFY(m_f.Reply("paul", token, {{"Rock\\d.mp3", 400}, {"e.mp3", 500}}, true, 1000, 0));
    }

    QTreeWidgetItem* Folder(const QString& i_user, const QString& i_folder)
    {
        QTreeWidgetItem* user = UserRow(mp_tree, i_user);
        for (int k = 0; user && k < user->childCount(); ++k)
            if (user->child(k)->text(3) == i_folder)
                return user->child(k);
        return nullptr;
    }

    QTreeWidgetItem* File(const QString& i_user, const QString& i_folder, const QString& i_name)
    {
        QTreeWidgetItem* folder = Folder(i_user, i_folder);
        for (int k = 0; folder && k < folder->childCount(); ++k)
            if (folder->child(k)->text(4) == i_name)
                return folder->child(k);
        return nullptr;
    }

    void Select(const QList<QTreeWidgetItem*>& i_rows)
    {
        mp_tree->clearSelection();
        mp_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
        for (QTreeWidgetItem* row : i_rows)
            row->setSelected(true);
    }

private slots:
    void initTestCase() { QVERIFY(m_f.StartServer()); }
    void init() { QVERIFY(m_f.SetUp()); }
    void cleanup()
    {
        delete filterHelpDialog;
        m_f.TearDown();
    }

    void downloadFileQueuesFileRowsOnly()
    {
        Populate();
        QTreeWidgetItem* a = File("ringo", "Abbey/Music", "a.mp3");
        QTreeWidgetItem* c = File("ringo", "Help/Music", "c.mp3");
        QVERIFY(a && c);
        Select({UserRow(mp_tree, "ringo"), a, c, Folder("paul", "Rock")});
        mp_form()->OnActionBarTriggered("download_search_results_file");
        const auto entries = Downloads();
        QCOMPARE(entries.size(), size_t(2));
        QVERIFY(!a->icon(4).isNull());
        QVERIFY(!c->icon(4).isNull());
        QVERIFY(File("ringo", "Abbey/Music", "B.mp3")->icon(4).isNull());
        for (ItemPtr entry : entries)
            QCOMPARE(entry["search_request_text"].AsString(), std::string("beatles"));
        QVERIFY(transferQueueManager->GetDownloadEntry("ringo", "a.mp3", "Music\\Abbey"));
        QVERIFY(transferQueueManager->GetDownloadEntry("ringo", "c.mp3", "Music\\Help"));
    }

    void downloadFolderQueuesEachFileOnceInByteOrder()
    {
        Populate();
        QTreeWidgetItem* folder = Folder("ringo", "Abbey/Music");
        Select({File("ringo", "Abbey/Music", "a.mp3"), folder});
        mp_form()->OnActionBarTriggered("download_search_results_folder");
        const auto entries = Downloads();
        QCOMPARE(entries.size(), size_t(2));
        QVERIFY(entries[0] == transferQueueManager->GetDownloadEntry("ringo", "B.mp3", "Music\\Abbey"));
        QVERIFY(entries[1] == transferQueueManager->GetDownloadEntry("ringo", "a.mp3", "Music\\Abbey"));

        // A user row in the selection queues nothing at all.
        Select({Folder("ringo", "Help/Music"), UserRow(mp_tree, "paul")});
        mp_form()->OnActionBarTriggered("download_search_results_folder");
        QCOMPARE(Downloads().size(), size_t(2));
    }

    void doubleClickQueuesHiddenFilesAndEmptyFolders()
    {
        Populate();
        mp_tab->filterEdit()->setText(QStringLiteral("d.mp3"));
        QTreeWidgetItem* ringo = UserRow(mp_tree, "ringo");
        QVERIFY(ringo->isHidden());
        mp_form()->OnResultDoubleClicked(ringo, 0);
        QCOMPARE(Downloads().size(), size_t(3));
        QVERIFY(transferQueueManager->GetDownloadEntry("ringo", "B.mp3", "Music\\Abbey"));

        // A file sent without a folder sits in a folder row with no text.
        QTreeWidgetItem* noFolder = Folder("paul", QString());
        QVERIFY(noFolder);
        mp_form()->OnResultDoubleClicked(noFolder, 3);
        QCOMPARE(Downloads().size(), size_t(4));
        QVERIFY(transferQueueManager->GetDownloadEntry("paul", "e.mp3", ""));
        QVERIFY(!noFolder->child(0)->icon(4).isNull());

        // Queued again from another search: one entry, with the latest text.
        m_f.Search(QStringLiteral("rock"));
        const unsigned int token = Fixture::LastToken();
        QVERIFY(m_f.Reply("paul", token, {{"e.mp3", 500}}, true, 1000, 0));
        QTreeWidget* tree = m_f.ManualTab(1)->searchResults();
        mp_form()->OnResultDoubleClicked(tree->topLevelItem(0)->child(0)->child(0), 4);
        QCOMPARE(Downloads().size(), size_t(4));
        QCOMPARE(transferQueueManager->GetDownloadEntry("paul", "e.mp3", "")["search_request_text"].AsString(),
                 std::string("rock"));
    }

    void expandAndOrderTogglesFollowTheWidgetKey()
    {
        Populate();
        SetWidgetKey(Value(static_cast<QWidget*>(mp_tab)));
        QTreeWidgetItem* ringo = UserRow(mp_tree, "ringo");
        QTreeWidgetItem* abbey = Folder("ringo", "Abbey/Music");
        QVERIFY(ringo->isExpanded() && abbey->isExpanded());

        mp_form()->OnActionBarTriggered("expand_folders");
        QVERIFY(!abbey->isExpanded());
        QVERIFY(ringo->isExpanded());
        mp_form()->OnActionBarTriggered("expand_users");
        QVERIFY(!ringo->isExpanded());
        QCOMPARE(ItemPtr(FindItem("search_results_widget", Value(static_cast<QWidget*>(mp_tab))))["expand_users"]
                     .AsString(),
                 std::string("no"));

        // Later results follow the setting.
        QVERIFY(m_f.Reply("george", Fixture::LastToken(), {{"Sun\\f.mp3"}}, true, 1000, 0));
        QTreeWidgetItem* george = UserRow(mp_tree, "george");
        QVERIFY(!george->isExpanded());
        QVERIFY(!george->child(0)->isExpanded());

        mp_form()->OnActionBarTriggered("expand_users");
        QVERIFY(ringo->isExpanded() && george->isExpanded());

        mp_form()->OnActionBarTriggered("order_by_fastest");
        QCOMPARE(mp_tab->SortColumn(), 2);
        mp_form()->OnActionBarTriggered("order_by_available");
        QCOMPARE(mp_tab->SortColumn(), 1);

        // A key left by a closed tab names nothing.
        const std::string stale = Value(static_cast<QWidget*>(mp_tab));
        m_f.ManualTabs()->tabCloseRequested(0);
        QCOMPARE(m_f.ManualTabs()->count(), 0);
        SetWidgetKey(stale);
        for (const char* action : {"expand_users", "expand_folders", "order_by_fastest", "order_by_available"})
            mp_form()->OnActionBarTriggered(action);
        SetWidgetKey("18446744073709551615999");
        mp_form()->OnActionBarTriggered("expand_users");
    }

    void actionTextsOfTheTab()
    {
        Populate();
        auto* bar = mp_window()->findChild<ActionSetToolBar*>();
        QVERIFY(bar);
        // The tab's set shows while its tree has the focus.
        mp_tree->setFocus();
        auto text = [&](const char* ip_label) {
            for (QAction* action : bar->actions())
                if (action->text().startsWith(QLatin1String(ip_label)))
                    return action->text();
            return QString();
        };
        QTRY_COMPARE(text("Expand Users"), QStringLiteral("Expand Users [on]"));
        mp_form()->OnActionBarTriggered("expand_users");
        QCOMPARE(text("Expand Users"), QStringLiteral("Expand Users [off]"));
        mp_form()->OnActionBarTriggered("expand_folders");
        QCOMPARE(text("Expand Folders"), QStringLiteral("Expand Folders [off]"));
        mp_form()->OnActionBarTriggered("expand_users");
        QCOMPARE(text("Expand Users"), QStringLiteral("Expand Users [on]"));
        mp_form()->OnActionBarTriggered("order_by_fastest");
        QCOMPARE(text("Order by Fastest"), QStringLiteral("Order by Fastest [on]"));
        QCOMPARE(text("Order by Available"), QStringLiteral("Order by Available"));
        mp_form()->OnActionBarTriggered("order_by_available");
        QCOMPARE(text("Order by Fastest"), QStringLiteral("Order by Fastest"));
        QCOMPARE(text("Order by Available"), QStringLiteral("Order by Available [on]"));
    }

    void userMenuOnRowsOnly()
    {
        Populate();
        mp_tree->expandAll();
        QTest::qWait(50);
        const QPoint empty(5, mp_tree->viewport()->height() - 2);
        QVERIFY(!mp_tree->itemAt(empty));
        emit mp_tree->customContextMenuRequested(empty);
        QVERIFY(!OpenMenu());

        QTreeWidgetItem* file = File("paul", "Rock", "d.mp3");
        const QPoint point = mp_tree->visualItemRect(file).center();
        QCOMPARE(mp_tree->itemAt(point), file);
        emit mp_tree->customContextMenuRequested(point);
        QMenu* menu = OpenMenu();
        QVERIFY(menu);
        QVERIFY(!menu->actions().isEmpty());
        for (QAction* action : menu->actions())
            if (!action->isSeparator() && action->data().isValid())
                QCOMPARE(UserMenuOptions::UserOf(action), std::string("paul"));
        menu->close();
        QTRY_VERIFY(!OpenMenu());
    }

    void filterHelpIsOneDialogAtATime()
    {
        m_f.Search(QStringLiteral("x"));
        SearchResultsForm* tab = m_f.ManualTab(0);
        tab->OnFilterHelpClicked();
        QPointer<FilterHelpDialog> first = filterHelpDialog;
        QVERIFY(first);
        QVERIFY(first->isVisible());
        QCOMPARE(first->windowTitle(), QStringLiteral("Filter Help"));
        tab->OnFilterHelpClicked();
        QCOMPARE(filterHelpDialog, first.data());
        QCOMPARE(tab->findChildren<FilterHelpDialog*>().size(), 1);
        first->close();
        QTRY_VERIFY(!first);
        QVERIFY(!filterHelpDialog);
        tab->OnFilterHelpClicked();
        QVERIFY(filterHelpDialog);
        QVERIFY(filterHelpDialog->isVisible());
    }

private:
    SearchForm* mp_form() { return m_f.mp_form; }
    QMainWindow* mp_window() { return m_f.mp_window; }
};

QTEST_MAIN(TestResultActions)
#include "test_result_actions.moc"
