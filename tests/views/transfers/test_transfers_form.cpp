// The transfers view against the real transfer queue: rows following the
// store, status texts and colours, progress cells, removal safety, settings
// and the completed downloads.

#include "TransfersViewSupport.h"
#include "common/TestFiles.h"

#include "CompleteDownloadsForm.h"
#include "DownloadMenuOptions.h"
#include "GeneralFunctions.h"

#include <QApplication>
#include <QCheckBox>
#include <QMenu>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace transfersview;

class TestTransfersForm : public QObject
{
    Q_OBJECT

    ViewFixture m_f;

    // Bob asks for the shared file and the queue starts its upload: the
    // file connection ends at io_downloader, which has not sent the offset.
    bool StartUpload(ScriptedPeer& io_bob, const std::string& i_wire, QTcpServer& io_listener,
                     QTcpSocket& io_downloader)
    {
        m_f.Queue()->OnQueueUploadRequested("bob", i_wire);
        QByteArray request = io_bob.Next();
        while (!request.isEmpty() && Code(request) != PM_TRANSFER_REQUEST)
            request = io_bob.Next();
        if (request.isEmpty() || !io_listener.listen(QHostAddress::LocalHost, 0))
            return false;
        m_f.Queue()->OnFileTransferResponse("bob", ToU32(request, 8), true, false, 0, "");
        io_downloader.connectToHost(QHostAddress::LocalHost, io_listener.serverPort());
        if (!io_listener.waitForNewConnection(g_waitMs))
            return false;
        m_f.Queue()->OnFileConnectionAccepted("bob", io_listener.nextPendingConnection());
        return true;
    }

private slots:
    void cleanup() { m_f.Stop(); }

    void savedDownloadsAppearInQueueOrderAfterLoading()
    {
        m_f.m_queue.Build();
        m_f.m_queue.Listen();
        m_f.mp_form = new TransfersForm;
        m_f.mp_form->Init();
        ItemPtr late = m_f.Add("bob", "music\\late", "a.mp3", 100);
        ItemPtr early = m_f.Add("carol", "music\\early", "b.mp3", 100);
        late += T("download_order")->GetItem(Value(20));
        early += T("download_order")->GetItem(Value(10));
        // Not before the queue has restored them.
        QCOMPARE(m_f.Downloads()->topLevelItemCount(), 0);
        dataSaver->NotifyDataLoaded();
        QCoreApplication::processEvents();
        QCOMPARE(m_f.Downloads()->topLevelItemCount(), 2);
        QCOMPARE(m_f.Downloads()->topLevelItem(0)->text(0), QStringLiteral("carol [offline]"));
        QCOMPARE(m_f.Downloads()->topLevelItem(1)->text(0), QStringLiteral("bob [offline]"));
        QCOMPARE(m_f.Downloads()->topLevelItem(0)->child(0)->text(1), QStringLiteral("early/music"));
    }

    void foldersUsersAndRemovalCascade()
    {
        m_f.Start();
        ItemPtr a1 = m_f.Add("bob", "music\\albums", "a1.mp3", 1000);
        ItemPtr a2 = m_f.Add("bob", "music\\albums", "a2.mp3", 2000);
        ItemPtr b = m_f.Add("bob", "music\\live", "b.mp3", 1000);
        ItemPtr c = m_f.Add("carol", "music\\albums", "c.mp3", 1000);
        QTreeWidget* tree = m_f.Downloads();
        QCOMPARE(tree->topLevelItemCount(), 2);
        QTreeWidgetItem* bob = tree->topLevelItem(0);
        QCOMPARE(bob->childCount(), 2);
        QCOMPARE(bob->child(0)->childCount(), 2);
        QCOMPARE(bob->child(0)->child(1)->text(2), QStringLiteral("a2.mp3"));
        QCOMPARE(bob->child(0)->child(1)->text(7), QStringLiteral("2,000"));
        // The same path at two users: two folder rows on one remote_folder.
        QCOMPARE(tree->topLevelItem(1)->child(0)->text(1), QStringLiteral("albums/music"));
        QCOMPARE(Count("download_list_folder_node"), size_t(3));

        // The add path firing again adds no second row.
        a1 -= T("file_name")->GetItem("a1.mp3");
        a1 += T("file_name")->GetItem("a1.mp3");
        QCOMPARE(bob->child(0)->childCount(), 2);

        // Online state follows the flag.
        SetOnline("bob", true);
        QCOMPARE(bob->text(0), QStringLiteral("bob"));
        SetOnline("bob", false);
        QCOMPARE(bob->text(0), QStringLiteral("bob [offline]"));

        m_f.Queue()->RemoveDownload(a1);
        QCOMPARE(bob->child(0)->childCount(), 1);
        m_f.Queue()->RemoveDownload(a2);
        QCOMPARE(bob->childCount(), 1);
        QCOMPARE(Count("download_list_folder_node"), size_t(2));
        m_f.Queue()->RemoveDownload(b);
        QCOMPARE(tree->topLevelItemCount(), 1);
        m_f.Queue()->RemoveDownload(c);
        QCOMPARE(tree->topLevelItemCount(), 0);
        for (const char* type : {"download_list_user_node", "download_list_folder_node", "download_list_node"})
            QCOMPARE(Count(type), size_t(0));

        // Uploads: file name only, no offline marker, the same cascade.
        ItemPtr u1 = ViewFixture::Upload("dave", "/srv/share", "x.ogg", 4096, "queued");
        ItemPtr u2 = ViewFixture::Upload("dave", "/srv/share", "y.ogg", 4096, "queued");
        QTreeWidget* uploads = m_f.Uploads();
        QCOMPARE(uploads->topLevelItemCount(), 1);
        QCOMPARE(uploads->topLevelItem(0)->text(0), QStringLiteral("dave"));
        QCOMPARE(ViewFixture::UploadRow(u1)->text(2), QStringLiteral("x.ogg"));
        QCOMPARE(ViewFixture::UploadRow(u1)->text(7), QStringLiteral("4,096"));
        QCOMPARE(ViewFixture::UploadRow(u1)->parent()->text(1), QStringLiteral("share/srv"));
        u1.Remove();
        QCOMPARE(uploads->topLevelItem(0)->child(0)->childCount(), 1);
        u2.Remove();
        QCOMPARE(uploads->topLevelItemCount(), 0);
        for (const char* type : {"upload_list_user_node", "upload_list_folder_node", "upload_list_node"})
            QCOMPARE(Count(type), size_t(0));
    }

    void statusTextsAndColours()
    {
        m_f.Start();
        ItemPtr a = m_f.Add("bob", "f", "a", 10);
        ItemPtr b = m_f.Add("bob", "f", "b", 10);
        QTreeWidgetItem* rowA = ViewFixture::DownloadRow(a);
        QTreeWidgetItem* folder = rowA->parent();
        QTreeWidgetItem* user = folder->parent();
        struct Case { const char* status; QColor colour; };
        const Case cases[] = {{"queued", QColor(51, 102, 255)}, {"downloading", QColor(0, 0, 255)},
                              {"aborted", QColor(255, 10, 71)},  {"local error", QColor(255, 10, 71)},
                              {"complete", QColor(0, 100, 0)}};
        for (const Case& c : cases)
        {
            m_f.Queue()->SetDownloadEntryStatus(a, c.status);
            QCOMPARE(rowA->text(3), QString::fromLatin1(c.status));
            QCOMPARE(Colour(rowA, 2), c.colour);
        }
        // Denied shows the reason, lower-cased, in red.
        a += T("denial_reason")->GetItem("File not shared.");
        m_f.Queue()->SetDownloadEntryStatus(a, "denied");
        QCOMPARE(rowA->text(3), QStringLiteral("file not shared."));
        QCOMPARE(Colour(rowA), QColor(255, 10, 71));

        // Aggregates: {complete, local error} is "" in black, {complete,
        // denied} "denied"; the expanded folder keeps its text but takes
        // the colour.
        folder->setExpanded(false);
        user->setExpanded(false);
        m_f.Queue()->SetDownloadEntryStatus(a, "complete");
        m_f.Queue()->SetDownloadEntryStatus(b, "local error");
        QCoreApplication::processEvents();
        QCOMPARE(folder->text(3), QString());
        QCOMPARE(Colour(folder), QColor(Qt::black));
        QCOMPARE(user->text(3), QString());
        m_f.Queue()->SetDownloadEntryStatus(b, "denied");
        QCoreApplication::processEvents();
        QCOMPARE(folder->text(3), QStringLiteral("denied"));
        QCOMPARE(Colour(user), QColor(255, 10, 71));
        folder->setExpanded(true);
        QCOMPARE(folder->text(3), QString());
        m_f.Queue()->SetDownloadEntryStatus(b, "downloading");
        QCoreApplication::processEvents();
        QCOMPARE(folder->text(3), QString());
        QCOMPARE(Colour(folder), QColor(0, 0, 255));
        QCOMPARE(user->text(3), QStringLiteral("downloading"));
        // Collapsing brings the aggregate back at once.
        folder->setExpanded(false);
        QCOMPARE(folder->text(3), QStringLiteral("downloading"));
    }

    void progressCells()
    {
        m_f.Start();
        ItemPtr a = m_f.Add("bob", "music\\albums", "a", 4096);
        ItemPtr b = m_f.Add("bob", "music\\live", "b", 6144000);
        ItemPtr zero = m_f.Add("carol", "empty", "z", 0);
        QTreeWidgetItem* rowA = ViewFixture::DownloadRow(a);
        QTreeWidgetItem* user = rowA->parent()->parent();

        m_f.Report(a, 0, 0);
        QCoreApplication::processEvents();
        QCOMPARE(ViewFixture::BarText(rowA), QStringLiteral(" (0.0%)"));
        QCOMPARE(ViewFixture::BarValue(rowA).toInt(), 0);
        QCOMPARE(rowA->text(5), QStringLiteral("   0s"));
        m_f.Report(a, 1536, 0);
        QCoreApplication::processEvents();
        QCOMPARE(ViewFixture::BarText(rowA), QStringLiteral("1,536 (37.5%)"));
        QCOMPARE(ViewFixture::BarValue(rowA).toInt(), 37);

        // Expanded user with two folders still shows the totals of both.
        QVERIFY(user->isExpanded());
        m_f.Report(b, 0, 100 * 1024);
        QCoreApplication::processEvents();
        QCOMPARE(ViewFixture::BarText(user), QStringLiteral("1,536 (0.0%)"));
        QCOMPARE(ViewFixture::DownloadRow(b)->text(5), QStringLiteral("   1m:0s"));
        QCOMPARE(ViewFixture::DownloadRow(b)->text(6), QStringLiteral("100.0"));

        // Collapsed: the speed goes to the topmost visible row only.
        user->setExpanded(false);
        ViewFixture::DownloadRow(b)->setText(6, QString());
        m_f.Report(b, 0, 100 * 1024);
        QCoreApplication::processEvents();
        QCOMPARE(user->text(6), QStringLiteral("100.0"));
        QCOMPARE(ViewFixture::DownloadRow(b)->text(6), QString());
        QCOMPARE(ViewFixture::DownloadRow(b)->parent()->text(5), QStringLiteral("   1m:0s"));

        // Size 0: finished, no division.
        m_f.Report(zero, 0, 10);
        QCoreApplication::processEvents();
        QCOMPARE(ViewFixture::BarValue(ViewFixture::DownloadRow(zero)).toInt(), 100);
        QCOMPARE(ViewFixture::BarText(ViewFixture::DownloadRow(zero)), QStringLiteral(" (100.0%)"));

        // Expanding a group takes its bar and figures away.
        user->setExpanded(true);
        QVERIFY(!ViewFixture::BarValue(user).isValid());
        QCOMPARE(user->text(5), QString());

        // "complete" empties the text but keeps the bar's last values.
        rowA->setText(4, QStringLiteral("x"));
        m_f.Queue()->SetDownloadEntryStatus(a, "complete");
        QCOMPARE(rowA->text(4), QString());
        QCOMPARE(ViewFixture::BarValue(rowA).toInt(), 37);
    }

    // Real transfers of one chunk and of many: the last report and the end
    // come in one turn, yet once the loop settles every finished row
    // shows the whole file at 100 %, with no speed and no time left.
    void finishedRowsShowTheWholeFile()
    {
        m_f.Start();
        QTemporaryDir dir;
        SetSetting("download_folder", ToUtf8(dir.filePath("dl")));
        for (const int size : {1000, 100000})
            QVERIFY(WriteFile(dir.filePath("share/%1.bin").arg(size), QByteArray(size, 'x')));
        m_f.m_queue.mp_shares->Init();
        ItemPtr(T("shared_folder")->GetItem(ToUtf8(dir.filePath("share")))) += T("shared_public")->GetGlobalNullItem();
        QVERIFY(m_f.m_queue.GoOnline());
        ScriptedPeer bob;
        QVERIFY(bob.Open(m_f.m_queue.mp_messenger, "bob"));
        SetOnline("bob", true);
        auto finished = [](QTreeWidgetItem* ip_row, qint64 i_size) {
            QCoreApplication::processEvents();
            return ip_row && ViewFixture::BarValue(ip_row).toInt() == 100 &&
                   ViewFixture::BarText(ip_row) == CommafyNumber(i_size) + " (100.0%)" && ip_row->text(5).isEmpty() &&
                   ip_row->text(6).isEmpty();
        };
        for (const int size : {1000, 100000})
        {
            const QByteArray content(size, 'x');
            const std::string name = std::to_string(size) + ".bin";
            ItemPtr download = m_f.Add("carol", "f", name, size);
            QString partial = m_f.Queue()->GetDownloadTargetPath(download, false).replace('\\', '/');
            QVERIFY(QDir().mkpath(QFileInfo(partial).path()));
            RunningDownload run;
            QVERIFY(run.Start(m_f.Queue(), download, partial));
            run.uploader->write(content);
            QTRY_COMPARE(Status(download), std::string("complete"));
            QVERIFY(finished(ViewFixture::DownloadRow(download), size));

            const std::string wire = dir.filePath("share/" + QString::fromStdString(name)).replace('/', '\\').toStdString();
            QTcpServer listener;
            QTcpSocket downloader;
            QVERIFY(StartUpload(bob, wire, listener, downloader));
            downloader.write(I64(0));
            QVERIFY(QTest::qWaitFor([&] { return downloader.bytesAvailable() >= 4 + size; }, g_waitMs));
            downloader.close();
            ItemPtr upload = ItemPtr(T("filename_as_requested")->HasItem(wire))["upload_entry"];
            QTRY_COMPARE(upload["upload_entry_status"].AsString(), std::string("complete"));
            QVERIFY(finished(ViewFixture::UploadRow(upload), size));
        }
    }

    // A running download and a running upload are removed while their
    // folder holds another, queued entry: the folder and user rows above
    // keep nothing of them, neither speed nor time left nor bytes.
    void groupsShowOnlyWhatIsLeft()
    {
        m_f.Start();
        QTemporaryDir dir;
        SetSetting("download_folder", ToUtf8(dir.filePath("dl")));
        auto bare = [](QTreeWidgetItem* ip_row) {
            return ip_row->text(5).isEmpty() && ip_row->text(6).isEmpty() && !ViewFixture::BarValue(ip_row).isValid();
        };

        // The user row sums two folders; collapsed, it shows the speed.
        ItemPtr song = m_f.Add("boris", "music\\album", "song.bin", 3 * 1024 * 1024);
        m_f.Add("boris", "music\\album", "y.bin", 200000);
        m_f.Add("boris", "other", "z.bin", 1000);
        QTreeWidgetItem* folder = ViewFixture::DownloadRow(song)->parent();
        QTreeWidgetItem* user = folder->parent();
        user->setExpanded(false);
        QString partial = m_f.Queue()->GetDownloadTargetPath(song, false).replace('\\', '/');
        QVERIFY(QDir().mkpath(QFileInfo(partial).path()));
        RunningDownload download;
        QVERIFY(download.Start(m_f.Queue(), song, partial));
        download.uploader->write(QByteArray(352256, 'x'));
        QTRY_COMPARE(ViewFixture::BarText(folder), QStringLiteral("352,256 (10.5%)"));
        QTRY_COMPARE(ViewFixture::BarText(user), QStringLiteral("352,256 (10.5%)"));
        QVERIFY(!folder->text(5).isEmpty() && !user->text(6).isEmpty());
        m_f.Downloads()->setCurrentItem(ViewFixture::DownloadRow(song));
        QTest::keyClick(m_f.Downloads(), Qt::Key_Delete);
        QCoreApplication::processEvents();
        QVERIFY(bare(folder));
        QVERIFY(bare(user));
        QCOMPARE(user->text(3), QStringLiteral("queued"));
        QCOMPARE(folder->childCount(), 1);

        // Uploads: one slot, so the second request waits in the folder.
        for (const char* name : {"a.bin", "b.bin"})
            QVERIFY(WriteFile(dir.filePath("share/") + name, QByteArray(100000, 'x')));
        m_f.m_queue.mp_shares->Init();
        ItemPtr(T("shared_folder")->GetItem(ToUtf8(dir.filePath("share")))) += T("shared_public")->GetGlobalNullItem();
        QVERIFY(m_f.m_queue.GoOnline());
        ScriptedPeer bob;
        QVERIFY(bob.Open(m_f.m_queue.mp_messenger, "bob"));
        SetOnline("bob", true);
        auto wire = [&](const char* ip_name) {
            return dir.filePath(QStringLiteral("share/") + ip_name).replace('/', '\\').toStdString();
        };
        QTcpServer listener;
        QTcpSocket downloader;
        QVERIFY(StartUpload(bob, wire("a.bin"), listener, downloader));
        ItemPtr upload = ItemPtr(T("filename_as_requested")->HasItem(wire("a.bin")))["upload_entry"];
        QVERIFY(upload);
        m_f.Queue()->OnQueueUploadRequested("bob", wire("b.bin"));
        QTreeWidgetItem* shareRow = ViewFixture::UploadRow(upload)->parent();
        QTreeWidgetItem* bobRow = shareRow->parent();
        QCOMPARE(shareRow->childCount(), 2);
        bobRow->setExpanded(false);
        // Everything is sent, but the upload runs until the downloader closes.
        downloader.write(I64(0));
        QTRY_COMPARE(ViewFixture::BarText(shareRow), QStringLiteral("100,000 (50.0%)"));
        QTRY_COMPARE(ViewFixture::BarText(bobRow), QStringLiteral("100,000 (50.0%)"));
        QVERIFY(!bobRow->text(6).isEmpty());
        m_f.Queue()->RemoveUpload(upload);
        QCoreApplication::processEvents();
        QVERIFY(bare(shareRow));
        QVERIFY(bare(bobRow));
        QCOMPARE(shareRow->childCount(), 1);
    }

    void removalSafety()
    {
        m_f.Start();
        // Cleared on completion, through the queued slot.
        SetSetting("clear_complete_downloads", "yes");
        ItemPtr done = m_f.Add("bob", "f", "done", 10);
        m_f.Report(done, 5, 1);
        m_f.Queue()->SetDownloadEntryStatus(done, "complete");
        QVERIFY(ViewFixture::DownloadRow(done));
        QCoreApplication::processEvents();
        QCOMPARE(Count("download_entry"), size_t(0));
        QCOMPARE(m_f.Downloads()->topLevelItemCount(), 0);

        // Removed before the queued slot runs, reported in the same turn:
        // nothing touches it afterwards.
        ItemPtr gone = m_f.Add("bob", "f", "gone", 10);
        m_f.Report(gone, 5, 1);
        m_f.Queue()->SetDownloadEntryStatus(gone, "complete");
        m_f.Queue()->RemoveDownload(gone);
        QCoreApplication::processEvents();
        QCOMPARE(m_f.Downloads()->topLevelItemCount(), 0);
        ClearSetting("clear_complete_downloads");

        // Delete on an entry, a folder and a user row removes exactly those.
        ItemPtr a1 = m_f.Add("bob", "f1", "a1", 10);
        ItemPtr a2 = m_f.Add("bob", "f1", "a2", 10);
        ItemPtr a3 = m_f.Add("bob", "f2", "a3", 10);
        ItemPtr c1 = m_f.Add("carol", "f1", "c1", 10);
        ItemPtr c2 = m_f.Add("carol", "f2", "c2", 10);
        auto del = [&](QTreeWidgetItem* ip_row) {
            m_f.Downloads()->setCurrentItem(ip_row);
            QTest::keyClick(m_f.Downloads(), Qt::Key_Delete);
        };
        del(ViewFixture::DownloadRow(a3));
        QCOMPARE(Count("download_entry"), size_t(4));
        QCOMPARE(m_f.Downloads()->topLevelItem(0)->childCount(), 1);
        del(ViewFixture::DownloadRow(a1)->parent());
        QCOMPARE(Count("download_entry"), size_t(2));
        QCOMPARE(m_f.Downloads()->topLevelItemCount(), 1);
        del(ViewFixture::DownloadRow(c1)->parent()->parent());
        QCOMPARE(Count("download_entry"), size_t(0));
        QCOMPARE(Count("download_list_node"), size_t(0));
        QCoreApplication::processEvents();
        Q_UNUSED(a2);
        Q_UNUSED(c2);

        // An entry removed while its menu is open leaves the menu's set;
        // the action removes only what is still there.
        ItemPtr m1 = m_f.Add("bob", "m", "1", 10);
        ItemPtr m2 = m_f.Add("bob", "m", "2", 10);
        ItemPtr other = m_f.Add("bob", "n", "3", 10);
        QMenu menu;
        DownloadMenuOptions options(&menu, m_f.mp_form->GetNodeDownloadEntryItems(ViewFixture::DownloadRow(m1)->parent()));
        QCOMPARE(options.Entries().size(), size_t(2));
        m_f.Queue()->RemoveDownload(m1);
        QCOMPARE(options.Entries().size(), size_t(1));
        QAction* remove = nullptr;
        for (QAction* action : menu.actions())
            if (action->text() == QStringLiteral("Remove downloads"))
                remove = action;
        QVERIFY(remove);
        remove->trigger();
        QCOMPARE(Count("download_entry"), size_t(1));
        QVERIFY(ViewFixture::DownloadRow(other));
        Q_UNUSED(m2);
    }

    void downloadMenu()
    {
        m_f.Start();
        ItemPtr a = m_f.Add("bob", "f", "a", 10);
        ItemPtr b = m_f.Add("bob", "f", "b", 10);
        // As the search views relate them.
        Relate(T("download_entry"), T("search_request_text"), Many, One);
        a += T("search_request_text")->GetItem("rock & roll");
        m_f.Queue()->SetDownloadEntryStatus(a, "complete");
        auto texts = [](QMenu& i_menu) {
            QStringList all;
            for (QAction* action : i_menu.actions())
                all << (action->isSeparator() ? QStringLiteral("-") : action->text());
            return all;
        };
        {
            QMenu menu;
            DownloadMenuOptions options(&menu, ItemSet(a.Get()));
            QCOMPARE(texts(menu), QStringList({"Open File", "Open Folder", "-", "Remove download",
                                               "Re-run Search: rock && roll"}));
        }
        {
            QMenu menu;
            menu.addAction(QStringLiteral("before"));
            ItemSet both(a.Get());
            both.insert(b.Get());
            DownloadMenuOptions options(&menu, both);
            QCOMPARE(texts(menu), QStringList({"before", "-", "Open Folder", "-", "Remove downloads",
                                               "Re-run Search: rock && roll"}));
        }
        {
            QMenu menu;
            DownloadMenuOptions options(&menu, ItemSet());
            QVERIFY(menu.actions().isEmpty());
        }

        // The list's menu: the download entries of the row, then the user's.
        m_f.mp_form->show();
        QTreeWidgetItem* folder = ViewFixture::DownloadRow(a)->parent();
        const QPoint point = m_f.Downloads()->visualItemRect(folder).center();
        m_f.mp_form->OnDownloadsContextMenuRequested(point);
        QMenu* popup = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* menu = qobject_cast<QMenu*>(widget); menu && menu->isVisible())
                popup = menu;
        QVERIFY(popup);
        const QStringList shown = texts(*popup);
        QCOMPARE(shown.mid(0, 4), QStringList({"Open Folder", "-", "Remove downloads", "Re-run Search: rock && roll"}));
        QVERIFY(shown.size() > 5);
        popup->close();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void settings()
    {
        // Loaded values go into the widgets without being written back.
        int writes = 0;
        m_f.Start([&] {
            SetSetting("clear_complete_downloads", "yes");
            SetSetting("upload_speed_limit", "25");
            SetSetting("upload_speed_limit_enabled", "yes");
            d->connected.Add(new FunctionHandler<ConnectionInfo&>([&](ConnectionInfo& i_info) {
                if (i_info.from->GetType()->GetName() == "global")
                    ++writes;
            }));
        });
        QCOMPARE(writes, 0);
        auto* clearDownloads = m_f.mp_form->findChild<QCheckBox*>("clearDownloadsCheckBox");
        auto* limitBox = m_f.mp_form->findChild<QCheckBox*>("uploadLimitCheckBox");
        auto* limitSpin = m_f.mp_form->findChild<QSpinBox*>("uploadLimitSpinBox");
        QVERIFY(clearDownloads->isChecked());
        QVERIFY(limitBox->isChecked());
        QCOMPARE(limitSpin->value(), 25);

        clearDownloads->setChecked(false);
        QCOMPARE(GetSetting("clear_complete_downloads"), std::string());
        clearDownloads->setChecked(true);
        QCOMPARE(GetSetting("clear_complete_downloads"), std::string("yes"));

        limitSpin->setValue(0);
        QVERIFY(!limitBox->isChecked());
        if (GetSetting("upload_speed_limit") != "0")
            QSKIP("the queue does not store the upload limit yet");
        QCOMPARE(GetSetting("upload_speed_limit_enabled"), std::string("no"));
        limitSpin->setValue(50);
        QVERIFY(limitBox->isChecked());
        QCOMPARE(GetSetting("upload_speed_limit"), std::string("50"));
        QCOMPARE(GetSetting("upload_speed_limit_enabled"), std::string("yes"));
    }

    void idleUploadsAndClearActions()
    {
        m_f.Start();
        // "Clear Complete" takes only complete downloads.
        ItemPtr complete = m_f.Add("bob", "f", "c", 10);
        ItemPtr waiting = m_f.Add("bob", "f", "w", 10);
        m_f.Queue()->SetDownloadEntryStatus(complete, "complete");
        m_f.mp_form->OnActionBarTriggered("clear_complete_downloads");
        QCOMPARE(Count("download_entry"), size_t(1));
        QVERIFY(ViewFixture::DownloadRow(waiting));

        SetSetting("clear_complete_aborted_uploads", "yes");
        const QDateTime changed(QDate(2026, 3, 1), QTime(12, 0, 0));
        const std::string changedText = ToLatin1(changed.toString(Qt::TextDate));
        ItemPtr aborted = ViewFixture::Upload("dave", "/s", "a", 10, "aborted");
        ItemPtr queued = ViewFixture::Upload("dave", "/s", "q", 10, "queued");
        for (ItemPtr upload : {aborted, queued})
            upload += T("last_status_change_time")->GetItem(changedText);
        m_f.mp_form->ClearIdleUploads(changed.addSecs(299));
        QCOMPARE(Count("upload_entry"), size_t(2));
        m_f.mp_form->ClearIdleUploads(changed.addSecs(300));
        if (Count("upload_entry") == 2)
            QSKIP("the queue does not remove uploads yet");
        QCOMPARE(Count("upload_entry"), size_t(1));
        QVERIFY(ViewFixture::UploadRow(queued));
        m_f.mp_form->ClearIdleUploads(changed.addSecs(3000));
        QCOMPARE(Count("upload_entry"), size_t(1));

        // "Clear Complete and Aborted" keeps queued and active uploads.
        ItemPtr active = ViewFixture::Upload("dave", "/s", "u", 10, "uploading");
        for (const char* status : {"complete", "aborted", "denied", "local error"})
            ViewFixture::Upload("erin", "/s", status, 10, status);
        m_f.mp_form->OnActionBarTriggered("clear_complete_and_aborted_uploads");
        QCOMPARE(Count("upload_entry"), size_t(2));
        QVERIFY(ViewFixture::UploadRow(active));
        QCOMPARE(m_f.Uploads()->topLevelItemCount(), 1);
    }

    // Actions on many rows change the tree in one pass: what stays keeps its
    // order, its open or closed state and the current row; rows queued as
    // one arrive in order under the rows they belong to.
    void manyRowsAtOnce()
    {
        m_f.Start();
        QTreeWidget* tree = m_f.Downloads();
        ItemPtr b;
        ItemPtr d;
        for (const char* name : {"a", "b", "c"})
        {
            ItemPtr entry = m_f.Add("bob", "f1", name, 10);
            if (std::string(name) == "b")
                b = entry;
            else
                m_f.Queue()->SetDownloadEntryStatus(entry, "complete");
        }
        d = m_f.Add("bob", "f2", "d", 10);
        for (const char* user : {"carol", "dave"})
            m_f.Queue()->SetDownloadEntryStatus(m_f.Add(user, "f3", "e", 10), "complete");
        QTreeWidgetItem* f2 = ViewFixture::DownloadRow(d)->parent();
        f2->setExpanded(false);
        tree->setCurrentItem(f2);

        m_f.mp_form->OnActionBarTriggered("clear_complete_downloads");
        QCOMPARE(Count("download_entry"), size_t(2));
        QCOMPARE(tree->topLevelItemCount(), 1);
        QTreeWidgetItem* bob = tree->topLevelItem(0);
        QCOMPARE(bob->childCount(), 2);
        QCOMPARE(bob->child(0)->childCount(), 1);
        QCOMPARE(bob->child(0)->child(0), ViewFixture::DownloadRow(b));
        QCOMPARE(bob->child(1), f2);
        QVERIFY(bob->isExpanded() && bob->child(0)->isExpanded() && !f2->isExpanded());
        QCOMPARE(tree->currentItem(), f2);
        QVERIFY(f2->isSelected());
        QCOMPARE(f2->text(3), QStringLiteral("queued"));
        QCOMPARE(Count("download_list_user_node"), size_t(1));
        QCOMPARE(Count("download_list_folder_node"), size_t(2));

        // Queued as one: existing triples stay as they are, new rows follow
        // queue order, new groups open as the flags say.
        const std::vector<ItemPtr> added = m_f.Queue()->AddDownloads(
            {{"bob", "g", "f1", 10, 0}, {"bob", "b", "f1", 10, 0}, {"bob", "h", "f4", 10, 1}, {"erin", "i", "f5", 10, 0}});
        QCOMPARE(added.size(), size_t(4));
        QCOMPARE(added[1].Get(), b.Get());
        QCOMPARE(Count("download_entry"), size_t(5));
        QVERIFY(added[2]["download_order"].AsInt64() == added[0]["download_order"].AsInt64() + 1);
        QCOMPARE(GetSetting("transfer_order_counter"), std::to_string(added[3]["download_order"].AsInt64() + 1));
        QCOMPARE(bob->child(0)->child(1), ViewFixture::DownloadRow(added[0]));
        QCOMPARE(bob->child(2)->child(0), ViewFixture::DownloadRow(added[2]));
        QCOMPARE(tree->topLevelItem(1)->child(0)->child(0), ViewFixture::DownloadRow(added[3]));
        QVERIFY(bob->child(2)->isExpanded() && tree->topLevelItem(1)->isExpanded());
        QCOMPARE(ViewFixture::DownloadRow(added[3])->text(3), QStringLiteral("queued"));

        // Every folder closes, then opens; closed ones show their aggregate.
        m_f.mp_form->OnActionBarTriggered("expand_download_folders");
        QCOMPARE(bob->child(2)->text(3), QStringLiteral("queued"));
        for (QTreeWidgetItem* folder : {bob->child(0), bob->child(1), bob->child(2), tree->topLevelItem(1)->child(0)})
            QVERIFY(!folder->isExpanded());
        m_f.mp_form->OnActionBarTriggered("expand_download_folders");
        for (QTreeWidgetItem* folder : {bob->child(0), bob->child(1), bob->child(2), tree->topLevelItem(1)->child(0)})
            QVERIFY(folder->isExpanded());
        QCOMPARE(bob->child(2)->text(3), QString());
    }

    void completedDownloadsNewestFirst()
    {
        m_f.Start();
        auto record = [](const char* ip_file, const QDateTime& i_when) {
            ItemPtr download = T("complete_download")->NewItem();
            download += T("user")->GetItem("bob");
            download += T("complete_download_filename")->GetItem(ip_file);
            download += T("complete_download_relative_folder")->GetItem("music");
            download += T("complete_download_file_size")->GetItem("123456");
            download += T("complete_download_completion_time")->GetItem(ToLatin1(i_when.toString(Qt::TextDate)));
            return download;
        };
        const QDateTime base(QDate(2026, 1, 10), QTime(10, 0, 0));
        record("b-middle", base);
        record("a-newest", base.addDays(1));
        ItemPtr broken = record("z-unreadable", base);
        broken -= broken["complete_download_completion_time"];
        broken += T("complete_download_completion_time")->GetItem("not a time");
        record("c-oldest", base.addDays(-1));

        m_f.mp_form->OnActionBarTriggered("complete_downloads");
        QVERIFY(completeDownloadsForm);
        QTreeWidget* list = completeDownloadsForm->DownloadList();
        QCOMPARE(list->topLevelItemCount(), 4);
        QStringList order;
        for (int k = 0; k < list->topLevelItemCount(); ++k)
            order << list->topLevelItem(k)->text(0);
        QCOMPARE(order, QStringList({"a-newest", "b-middle", "c-oldest", "z-unreadable"}));
        QCOMPARE(list->topLevelItem(0)->text(3), QStringLiteral("123456"));

        // One that completes while the view is open goes to the top, once.
        ItemPtr fresh = record("y-fresh", base.addDays(5));
        emit m_f.Queue()->CompleteDownloadAdded(fresh);
        emit m_f.Queue()->CompleteDownloadAdded(fresh);
        QCOMPARE(list->topLevelItemCount(), 5);
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("y-fresh"));
        // Opening it again only shows it.
        CompleteDownloadsForm* view = completeDownloadsForm;
        m_f.mp_form->OnActionBarTriggered("complete_downloads");
        QCOMPARE(completeDownloadsForm, view);
    }
};

QTEST_MAIN(TestTransfersForm)
#include "test_transfers_form.moc"
