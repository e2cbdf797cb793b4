// The browse tabs against the real shared-files manager and transfer
// queue: the folder tree, the filter, downloads, tab life and the failure
// message.

#include "ShareBrowserSupport.h"

#include "FilterHelpDialog.h"

#include <QAction>
#include <QTextBrowser>

#include <unistd.h>

using namespace sharebrowser;

class TestShareBrowser : public QObject
{
    Q_OBJECT

    BrowseFixture m_f;

    static QTreeWidget* Folders(ShareForm* ip_view) { return ip_view->FolderTree(); }
    static QTreeWidget* Files(ShareForm* ip_view) { return ip_view->FileList(); }
    static QLineEdit* FilterLine(ShareForm* ip_view) { return ip_view->findChild<QLineEdit*>("filterEdit"); }
    static QString Messages(ShareForm* ip_view)
    {
        return ip_view->findChild<QTextBrowser*>("messageBrowser")->toPlainText();
    }

    static size_t ResidentBytes()
    {
        QFile statm("/proc/self/statm");
        if (!statm.open(QIODevice::ReadOnly))
            return 0;
        return size_t(statm.readAll().split(' ').value(1).toULongLong()) * size_t(sysconf(_SC_PAGESIZE));
    }

    static QStringList ActionTexts()
    {
        QStringList texts;
        for (QAction* action : actionBar->actions())
            texts << action->text();
        return texts;
    }

private slots:
    void init() { QVERIFY(m_f.SetUp()); }
    void cleanup() { m_f.TearDown(); }

    void treeLevelsAndExpansion()
    {
        SetSetting("expand_new_shares", "no");
        ShareForm* view = m_f.Browse("bob", {{"Music\\Rock", {"a.mp3"}}, {"Music\\Rock\\Live", {"b.mp3"}},
                                            {"Docs\\Zeta", {"z.txt"}}, {"Docs\\Alpha", {"y.txt"}}});
        QVERIFY(view);
        QTreeWidget* tree = Folders(view);
        QVERIFY(tree->isVisibleTo(view));
        // Unlisted parents: top-level rows in byte order of the full paths.
        QCOMPARE(BrowseFixture::Texts(tree), (QStringList{"Alpha", "Zeta", "Rock"}));
        QTreeWidgetItem* rock = tree->topLevelItem(2);
        QCOMPARE(rock->childCount(), 1);
        QCOMPARE(rock->child(0)->text(0), QStringLiteral("Live"));
        QCOMPARE(view->DeepestLevel(), 1);
        QVERIFY(!rock->isExpanded());

        // The toolbar carries the actions on the view of the current tab.
        tree->setFocus();
        QVERIFY(QTest::qWaitFor([&] { return ActionTexts().contains("Collapse All"); }, 5000));
        emit actionBar->ActionTriggered("expand_level");
        QVERIFY(rock->isExpanded());
        QVERIFY(ActionTexts().contains("Expand Level [1]"));
        emit actionBar->ActionTriggered("expand_level");   // no deeper level to open
        QVERIFY(ActionTexts().contains("Expand Level [1]"));
        emit actionBar->ActionTriggered("collapse_all");
        QVERIFY(!rock->isExpanded());
        QVERIFY(ActionTexts().contains("Expand Level"));

        // Rows and folder nodes go one for one.
        QCOMPARE(BrowseFixture::Count("user_share_folder_node"), size_t(4));

        SetSetting("expand_new_shares", "yes");
        ShareForm* carol = m_f.Browse("carol", {{"A", {"1"}}, {"A\\B", {"2"}}});
        QVERIFY(Folders(carol)->topLevelItem(0)->isExpanded());

        // One filter help at a time, whichever view asks.
        view->OnFilterHelpClicked();
        carol->OnFilterHelpClicked();
        QVERIFY(filterHelpDialog);
        QCOMPARE(m_f.mp_window->findChildren<FilterHelpDialog*>().size(), 1);
    }

    void filterHidesShowsAndMatchesFiles()
    {
        ShareForm* view =
            m_f.Browse("bob", {{"Music", {"intro.mp3"}},
                               {"Music\\Rock", {"concert one.mp3", "studio.mp3", "x.mp3"}},
                               {"Music\\Rock\\Live", {"live concert.mp3", "encore.mp3"}},
                               {"Music\\Jazz", {"blue.mp3", "caf\xc3\xa9 noir.mp3"}}});
        QTreeWidget* tree = Folders(view);
        QTreeWidgetItem* rock = BrowseFixture::Row(tree, {"Music", "Rock"});
        QTreeWidgetItem* live = BrowseFixture::Row(tree, {"Music", "Rock", "Live"});
        QTreeWidgetItem* jazz = BrowseFixture::Row(tree, {"Music", "Jazz"});
        QVERIFY(rock && live && jazz);

        tree->setCurrentItem(live);
        QCOMPARE(Files(view)->topLevelItemCount(), 2);
        QCOMPARE(BrowseFixture::Count("user_share_file_node"), size_t(2));

        // An excluded word hides the subtree and empties the list.
        FilterLine(view)->setText("-live");
        QVERIFY(live->isHidden());
        QVERIFY(!rock->isHidden());
        QCOMPARE(Files(view)->topLevelItemCount(), 0);
        QCOMPARE(BrowseFixture::Count("user_share_file_node"), size_t(0));
        FilterLine(view)->setText("");
        QVERIFY(!live->isHidden());
        QCOMPARE(Files(view)->topLevelItemCount(), 2);

        // "rock" is satisfied by the folder name; "concert" picks the files.
        tree->setCurrentItem(rock);
        FilterLine(view)->setText("rock concert");
        QCOMPARE(BrowseFixture::Texts(Files(view)), QStringList{"concert one.mp3"});
        QVERIFY(jazz->isHidden());
        QCOMPARE(BrowseFixture::Count("user_share_file_node"), size_t(1));

        // A folder with fewer matching files than the minimum stays hidden
        // unless a subfolder shows.
        FilterLine(view)->setText("mp3 mfif:3");
        QVERIFY(!rock->isHidden());
        QVERIFY(live->isHidden());
        QVERIFY(jazz->isHidden());
        QVERIFY(!BrowseFixture::Row(tree, {"Music"})->isHidden());

        // A non-ASCII word matches the name as shown.
        tree->setCurrentItem(jazz);
        FilterLine(view)->setText(QString::fromUtf8("caf\xc3\xa9"));
        QVERIFY(!jazz->isHidden());
        QCOMPARE(BrowseFixture::Texts(Files(view)), QStringList{QString::fromUtf8("caf\xc3\xa9 noir.mp3")});
        QCOMPARE(BrowseFixture::Count("user_share_file_node"), size_t(1));

        FilterLine(view)->setText("");
        tree->setCurrentItem(rock);
        QCOMPARE(BrowseFixture::Count("user_share_file_node"), size_t(Files(view)->topLevelItemCount()));
    }

    void downloadFolderKeepsTheTree()
    {
        ShareForm* view = m_f.Browse("bob", {{"Music\\Rock", {"a.mp3", "b.mp3"}},
                                            {"Music\\Rock\\Live", {"c.mp3"}},
                                            {"Music\\Rock\\Live\\2001", {"d.mp3"}},
                                            // listed, its parent not: a top-level row elsewhere
                                            {"Music\\Rock\\Demos\\Early", {"e.mp3"}},
                                            {"Music\\Rockabilly", {"f.mp3"}}});
        QTreeWidget* tree = Folders(view);
        QTreeWidgetItem* rock = BrowseFixture::Row(tree, {"Rock"});
        QVERIFY(rock);
        QVERIFY(BrowseFixture::Row(tree, {"Early"}));
        tree->setFocus();
        tree->setCurrentItem(rock);
        emit actionBar->ActionTriggered("download_share_folder");
        const QStringList queued = BrowseFixture::Queued();
        QCOMPARE(queued, (QStringList{"Music\\Rock|a.mp3|0", "Music\\Rock|b.mp3|0",
                                      "Music\\Rock\\Demos\\Early|e.mp3|2", "Music\\Rock\\Live|c.mp3|1",
                                      "Music\\Rock\\Live\\2001|d.mp3|2"}));

        // One file, at level 0.
        QTreeWidgetItem* live = BrowseFixture::Row(tree, {"Rock", "Live"});
        tree->setCurrentItem(live);
        Files(view)->setCurrentItem(Files(view)->topLevelItem(0));
        g("download_entry").Remove();
        emit actionBar->ActionTriggered("download_share_file");
        QCOMPARE(BrowseFixture::Queued(), QStringList{"Music\\Rock\\Live|c.mp3|0"});
    }

    void onlyTheViewOnScreenDownloads()
    {
        ShareForm* bob = m_f.Browse("bob", {{"B", {"b.mp3"}}});
        ShareForm* carol = m_f.Browse("carol", {{"C", {"c.mp3"}}});
        Folders(bob)->setCurrentItem(Folders(bob)->topLevelItem(0));
        Folders(carol)->setCurrentItem(Folders(carol)->topLevelItem(0));
        QCOMPARE(m_f.mp_form->CurrentShareForm(), carol);
        emit actionBar->ActionTriggered("download_share_folder");
        QCOMPARE(BrowseFixture::Queued(), QStringList{"C|c.mp3|0"});
        // Listing in one view leaves the other's rows downloadable.
        m_f.mp_form->TabControl()->setCurrentWidget(bob);
        Files(bob)->setCurrentItem(Files(bob)->topLevelItem(0));
        emit actionBar->ActionTriggered("download_share_file");
        QCOMPARE(BrowseFixture::Queued(), (QStringList{"C|c.mp3|0", "B|b.mp3|0"}));
    }

    void tabsOpenOnceAndDropLateShares()
    {
        m_f.mp_form->OpenShareBrowse("bob");
        ShareForm* first = m_f.View(0);
        m_f.mp_form->OpenShareBrowse("bob");
        QCOMPARE(m_f.Tabs(), 1);
        QCOMPARE(m_f.View(0), first);
        QVERIFY(Messages(first).contains("Requesting file list..."));

        m_f.mp_form->OpenShareBrowse(std::string("j\xc3\xb6rg"));
        QCOMPARE(m_f.mp_form->TabControl()->tabText(1), QString::fromUtf8("j\xc3\xb6rg"));

        // Closed while requesting: the late share is dropped, no tab returns.
        emit m_f.mp_form->TabControl()->tabCloseRequested(0);
        QCOMPARE(m_f.Tabs(), 1);
        QCOMPARE(BrowseFixture::Count("user_share_tab"), size_t(1));
        BrowseFixture::Store("bob", {{"X", {"x.mp3"}}});
        QVERIFY(!ItemPtr(T("user")->HasItem("bob"))["user_share"]);
        QCOMPARE(m_f.Tabs(), 1);

        // Closing a loaded tab removes its share and every node item.
        ShareForm* view = m_f.Browse("carol", {{"C", {"c.mp3"}}});
        Folders(view)->setCurrentItem(Folders(view)->topLevelItem(0));
        emit m_f.mp_form->TabControl()->tabCloseRequested(m_f.mp_form->TabControl()->indexOf(view));
        QVERIFY(!ItemPtr(T("user")->HasItem("carol"))["user_share"]);
        QCOMPARE(BrowseFixture::Count("user_share_folder_node"), size_t(0));
        QCOMPARE(BrowseFixture::Count("user_share_file_node"), size_t(0));
        QCOMPARE(BrowseFixture::Count("user_share_tab"), size_t(1));

        // An empty share: the message, and nothing else shows.
        ShareForm* empty = m_f.Browse("dave", {});
        QVERIFY(Messages(empty).contains("No files returned."));
        QVERIFY(!Folders(empty)->isVisibleTo(empty));
    }

    void connectionFailureShowsThePortLinkOnce()
    {
        m_f.mp_form->OpenShareBrowse("bob");
        ShareForm* view = m_f.View(0);
        emit peerMessenger->ConnectionToUserFailed("bob", "F");
        emit peerMessenger->ConnectionToUserFailed("carol", "P");
        QVERIFY(!Messages(view).contains("could not"));
        emit peerMessenger->ConnectionToUserFailed("bob", "P");
        emit peerMessenger->ConnectionToUserFailed("bob", "P");
        const QString html = view->findChild<QTextBrowser*>("messageBrowser")->toHtml();
        QCOMPARE(Messages(view).count("could not be successfully formed"), 1);
        QVERIFY(html.contains(QStringLiteral("porttest.php?port=") + QString::fromStdString(GetSetting("listening_port"))));
        QVERIFY(html.contains("https://"));

        // A share still builds the tree after a failure; a later failure is ignored.
        BrowseFixture::Store("bob", {{"X", {"x.mp3"}}});
        QVERIFY(Folders(view)->isVisibleTo(view));

        ShareForm* carol = m_f.Browse("carol", {{"C", {"c.mp3"}}});
        emit peerMessenger->ConnectionToUserFailed("carol", "P");
        QVERIFY(!Messages(carol).contains("could not"));
    }

    // A peer's list is stored only as the answer to our request: one sent
    // unasked is not even read, and one after the answer is dropped.
    void onlyAskedForListsAreStored()
    {
        QVERIFY(m_f.m_queue.GoOnline());
        ScriptedPeer bob;
        QVERIFY(bob.Open(m_f.m_queue.mp_messenger, "bob"));
        // 100 folders of 1,000 files.
        QByteArray body = U32(100);
        for (int k = 0; k < 100; ++k)
        {
            body += Str("Share\\Set " + QByteArray::number(k)) + U32(1000);
            for (int n = 0; n < 1000; ++n)
                body += FileRecord("track " + QByteArray::number(n) + ".mp3", 1000 + n);
        }
        body += U32(0);
        const QByteArray list = Frame(U32(PM_SHARED_FILE_LIST) + Zlib(body));

        // Sent unasked, a list larger than any request is refused at its
        // head: that connection goes, bob's first one stays.
        const size_t before = ResidentBytes();
        ScriptedPeer unasked;
        QVERIFY(unasked.Open(m_f.m_queue.mp_messenger, "bob"));
        for (int k = 0; k < 3; ++k)
            unasked.Send(list);
        QVERIFY(WaitClosed(unasked.Socket()));
        QCOMPARE(BrowseFixture::Count("user_share"), size_t(0));
        QCOMPARE(BrowseFixture::Count("user_share_file"), size_t(0));
        // Stored, one list takes far more than this.
        QVERIFY2(ResidentBytes() < before + 16 * 1024 * 1024,
                 qPrintable(QString("grew by %1 bytes").arg(qint64(ResidentBytes()) - qint64(before))));

        m_f.mp_form->OpenShareBrowse("bob");
        QCOMPARE(bob.Next(), U32(PM_GET_SHARED_FILE_LIST));
        bob.Send(list);
        QTRY_COMPARE_WITH_TIMEOUT(BrowseFixture::Count("user_share_loaded"), size_t(1), 60000);
        QCOMPARE(BrowseFixture::Count("user_share_file"), size_t(100000));
        ShareForm* view = m_f.View(0);
        QTRY_VERIFY(Folders(view)->isVisibleTo(view));
        QCOMPARE(Folders(view)->topLevelItemCount(), 100);
        Folders(view)->setCurrentItem(BrowseFixture::Row(Folders(view), {"Set 7"}));
        QCOMPARE(Files(view)->topLevelItemCount(), 1000);

        // Once answered, another list is not asked for.
        bob.Send(Frame(U32(PM_SHARED_FILE_LIST) + Zlib(U32(1) + Str("Other") + U32(0) + U32(0))));
        QVERIFY(bob.Sync());
        QCOMPARE(BrowseFixture::Count("user_share_folder"), size_t(100));
        QCOMPARE(BrowseFixture::Count("user_share_file"), size_t(100000));
    }
};

QTEST_MAIN(TestShareBrowser)
#include "test_share_browser.moc"
