// Start-up and shut-down of the whole client against the scripted server:
// first start, stored credentials, a damaged state file, the periodic and
// the final save, and the main window's form.

#include "app/AppTestSupport.h"
#include "common/TestServer.h"

#include "ActionSetToolBar.h"
#include "ChangeListeningPortDialog.h"
#include "ChangeUsernamePasswordDialog.h"
#include "Data.h"
#include "DataSaver.h"
#include "DiagnosticsForm.h"
#include "EventToolBar.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "TabWidget.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "mainwindow.h"
#include "server.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QTabBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace
{
const char* kConfig = "Configuration Data";

QStringList LinesOf(const QString& i_category)
{
    QStringList lines = LogText(i_category).split('\n', Qt::SkipEmptyParts);
    // Drop the "[date time] " stamp.
    for (QString& line : lines)
        line = line.mid(line.indexOf("] ") + 2);
    return lines;
}

// The peer network opens its listeners when the load is over; whether the
// port was free or not, it says so once.
int PeerListenerAttempts()
{
    const QString text = LogText("Peer Messenger");
    return text.count("Listening for peer connections") + text.count("Cannot listen for peer connections");
}
}

class StartupTest : public QObject, public WindowTest
{
    Q_OBJECT

private:
    // Fills the credentials dialog with alice's login, pointing the client
    // at the test server first, and presses Ok.
    ModalDriver::Handler TypeAliceCredentials(QString* o_title = nullptr)
    {
        return [this, o_title](QWidget* ip_widget) {
            auto* dialog = qobject_cast<ChangeUsernamePasswordDialog*>(ip_widget);
            QVERIFY(dialog);
            if (o_title)
                *o_title = dialog->windowTitle();
            SetSetting("server_host", "127.0.0.1");
            SetSetting("server_port", Port().toStdString());
            dialog->findChild<QLineEdit*>("usernameEdit")->setText("  alice ");
            dialog->findChild<QLineEdit*>("passwordEdit")->setText("s3cret");
            dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
        };
    }

    void CloseWindow()
    {
        mp_window.reset();
        d->Reset();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(StateToolPath()).isExecutable());
        QVERIFY(m_server.Start({"--accounts", "alice:s3cret,bob:pw2", "--refuse-new-users"}));
    }

    void init()
    {
        RemoveStateFiles();
        d->Reset();
    }

    void cleanup()
    {
        if (mp_window)
            CloseWindow();
        RemoveStateFiles();
        // Each case starts with nobody logged in.
        QTRY_VERIFY_WITH_TIMEOUT(m_server.Users().isEmpty(), 10000);
    }

    void firstStartAsksForCredentialsThenLogsIn()
    {
        ModalDriver modals;
        QString title;
        modals.Then(TypeAliceCredentials(&title));
        StartWindow();

        QCOMPARE(modals.Handled(), 1);
        QVERIFY(modals.Unexpected().isEmpty());
        QCOMPARE(title, QString("Set Username/Password"));

        const QStringList lines = LinesOf(kConfig);
        QCOMPARE(lines.value(0), "Loading configuration data from " + StatePath());
        QCOMPARE(lines.value(1), QString("Data loaded successfully."));
        QCOMPARE(PeerListenerAttempts(), 1);

        QCOMPARE(GetSetting("minimize_to_tray"), std::string("yes"));
        QCOMPARE(GetSetting("expand_new_shares"), std::string("yes"));
        QCOMPARE(GetSetting("data_version"), std::string("1"));
        QCOMPARE(GetSetting("username"), std::string("alice"));
        QCOMPARE(GetSetting("password"), std::string("s3cret"));

        // The typed name shows at once, the defaults tick their boxes.
        Ui_MainWindow* ui = mp_window->Form();
        QCOMPARE(ui->usernameEdit->text(), QString("alice"));
        QVERIFY(ui->minimizeToTrayCheckBox->isChecked());
        QVERIFY(ui->autoExpandSharesCheckBox->isChecked());
        QVERIFY(!ui->uPnPCheckBox->isChecked());

        // Connecting began inside Init; the server accepts the typed login.
        QVERIFY(!ui->action_Connect->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
        QCOMPARE(m_server.LoginCount("alice"), 1);
        QTRY_VERIFY(ui->action_Disconnect->isEnabled());
        QVERIFY(!ui->action_Connect->isEnabled());
    }

    void firstStartCancelledStaysOffline()
    {
        ModalDriver modals;
        modals.Then([](QWidget* ip_widget) {
            ip_widget->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
        });
        const int logins = m_server.LoginCount("alice") + m_server.LoginCount("bob");
        StartWindow();

        QCOMPARE(modals.Handled(), 1);
        QVERIFY(GetSetting("username").empty());
        QVERIFY(GetSetting("password").empty());
        QVERIFY(mp_window->Form()->action_Connect->isEnabled());
        QTest::qWait(200);
        QVERIFY(!gp_server->IsConnected());
        QCOMPARE(m_server.LoginCount("alice") + m_server.LoginCount("bob"), logins);
    }

    void storedCredentialsConnectDuringInit()
    {
        PrepareStateFile({"minimize_to_tray", "no", "data_version", "7", "download_folder", "/tmp/Ünïcode"});
        ModalDriver modals;
        StartWindow();

        // No dialog; Connect ran before the event loop got a turn.
        QCOMPARE(modals.Handled(), 0);
        QVERIFY(!mp_window->Form()->action_Connect->isEnabled());
        QVERIFY(modals.Unexpected().isEmpty());

        QCOMPARE(GetSetting("data_version"), std::string("1"));
        QCOMPARE(GetSetting("expand_new_shares"), std::string("yes"));
        Ui_MainWindow* ui = mp_window->Form();
        QVERIFY(!ui->minimizeToTrayCheckBox->isChecked());
        QCOMPARE(ui->downloadFolderEdit->text(), QString("/tmp/Ünïcode"));
        QCOMPARE(ui->usernameEdit->text(), QString("bob"));

        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
        QVERIFY(IsLoggedIn(m_server, "bob"));
        QVERIFY(modals.Unexpected().isEmpty());
    }

    void wrongPasswordIsReportedOnce()
    {
        PrepareStateFile({"password", "wrong"});
        ModalDriver modals;
        ShownBox box;
        modals.Then(PressOk(&box));
        StartWindow();

        QTRY_COMPARE_WITH_TIMEOUT(modals.Handled(), 1, 10000);
        QCOMPARE(box.title, QString("Login Failure: Wrong Password"));
        QCOMPARE(box.text, QString("Login failed. The password you supplied does not match your username. Please "
                                   "change your login settings in the Options tab and try reconnecting."));
        QTRY_VERIFY(mp_window->Form()->action_Connect->isEnabled());
        QVERIFY(!mp_window->Form()->action_Disconnect->isEnabled());
        QVERIFY(!gp_server->IsConnected());
        QVERIFY(modals.Unexpected().isEmpty());
    }

    void damagedStateFileStartsFromScratch_data()
    {
        QTest::addColumn<bool>("empty");
        QTest::newRow("truncated") << false;
        // An empty file is a damaged one, not a first start.
        QTest::newRow("empty") << true;
    }

    void damagedStateFileStartsFromScratch()
    {
        QFETCH(bool, empty);
        PrepareStateFile({"expand_new_shares", "no"});
        QByteArray bytes = ReadAll(StatePath());
        QVERIFY(bytes.size() > 20);
        bytes.truncate(empty ? 0 : bytes.size() / 2);
        QVERIFY(WriteAll(StatePath(), bytes));

        ModalDriver modals;
        ShownBox box;
        modals.Then(PressOk(&box));
        QString dialogTitle;
        modals.Then(TypeAliceCredentials(&dialogTitle));
        StartWindow();

        QCOMPARE(modals.Handled(), 2);
        QVERIFY(modals.Unexpected().isEmpty());
        QCOMPARE(box.title, QString("Error loading configuration data"));
        QCOMPARE(box.text, QString("Your client configuration data could not be loaded. Starting from scratch..."));
        QCOMPARE(dialogTitle, QString("Set Username/Password"));
        QCOMPARE(LinesOf(kConfig).count("Failure to load configuration data."), 1);
        QVERIFY(!LinesOf(kConfig).contains("Data loaded successfully."));
        // Going on as on a first start includes the DataLoaded() handlers.
        QCOMPARE(PeerListenerAttempts(), 1);

        // The damaged file is kept for the user, byte for byte.
        QVERIFY(QFile::exists(StatePath() + ".bad"));
        QCOMPARE(ReadAll(StatePath() + ".bad"), bytes);
        // Nothing of it was applied; the defaults made before the load stand.
        QCOMPARE(GetSetting("expand_new_shares"), std::string("yes"));
        QCOMPARE(GetSetting("minimize_to_tray"), std::string("yes"));
        QCOMPARE(GetSetting("data_version"), std::string("1"));

        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
        QVERIFY(IsLoggedIn(m_server, "alice"));
    }

    void closingSavesAndLogsOut()
    {
        StartLoggedIn();
        SetSetting("zz_marker", "written at shut-down");
        QFile::remove(StatePath());
        // The diagnostics view goes after the final save; listen beside it.
        QStringList configLines;
        SetLogSink([&configLines](const QString& i_category, int i_level, const QString& i_text, ItemPtr i_item) {
            if (i_category == kConfig)
                configLines << i_text;
            if (diagnosticsForm)
                diagnosticsForm->AddLine(i_category, i_level, i_text, i_item);
        });

        mp_window.reset();
        QVERIFY(!HasLogSink());

        // Every manager global is cleared as its object goes.
        QVERIFY(!gp_server);
        QVERIFY(!dataSaver);
        QVERIFY(!timerManager);
        QVERIFY(!mainWindow);
        QTRY_VERIFY_WITH_TIMEOUT(!IsLoggedIn(m_server, "bob"), 10000);

        // The final save wrote the file and no log line.
        QVERIFY(QFile::exists(StatePath()));
        QVERIFY2(configLines.isEmpty(), qPrintable(configLines.join(" | ")));

        // Read it back into a fresh store.
        d->Reset();
        {
            DataSaver saver;
            Type* global = d->NewType("global", true, false, true);
            Type* value = d->NewType("global_value", false, false, true);
            global->RelateToType(value, Many, One, false);
            saver.Load(StatePath().toLocal8Bit().constData());
            QCOMPARE(GetSetting("zz_marker"), std::string("written at shut-down"));
            QCOMPARE(GetSetting("username"), std::string("bob"));
            QCOMPARE(GetSetting("data_version"), std::string("1"));
        }
        d->Reset();
    }

    void changedCredentialsWaitForTheNextLogin()
    {
        StartLoggedIn();
        const int aliceLogins = m_server.LoginCount("alice");

        mp_window->OnChangeUsernamePasswordClicked();
        QPointer<ChangeUsernamePasswordDialog> dialog = mp_window->findChild<ChangeUsernamePasswordDialog*>();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QVERIFY(!dialog->isModal());
        QCOMPARE(dialog->windowTitle(), QString("Change Username/Password"));
        QCOMPARE(dialog->findChild<QLineEdit*>("usernameEdit")->text(), QString("bob"));
        QCOMPARE(dialog->findChild<QLineEdit*>("passwordEdit")->text(), QString("pw2"));

        dialog->findChild<QLineEdit*>("usernameEdit")->setText("alice");
        dialog->findChild<QLineEdit*>("passwordEdit")->setText("s3cret");
        dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
        QTRY_VERIFY(!dialog);
        QCOMPARE(GetSetting("username"), std::string("alice"));
        QCOMPARE(GetSetting("password"), std::string("s3cret"));
        QCOMPARE(mp_window->Form()->usernameEdit->text(), QString("alice"));

        // The present connection stays as it is.
        QVERIFY(gp_server->IsConnected());
        QVERIFY(IsLoggedIn(m_server, "bob"));
        QCOMPARE(m_server.LoginCount("alice"), aliceLogins);

        // The next one uses the new credentials.
        mp_window->Form()->action_Disconnect->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!IsLoggedIn(m_server, "bob"), 10000);
        QTRY_VERIFY(mp_window->Form()->action_Connect->isEnabled());
        mp_window->Form()->action_Connect->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(IsLoggedIn(m_server, "alice"), 10000);
        QCOMPARE(m_server.LoginCount("alice"), aliceLogins + 1);
    }

    void shellTypesAndWhatTheStateFileKeeps()
    {
        PrepareStateFile();
        StartWindow();

        struct Flags
        {
            const char* name;
            bool root, null, autoCreate;
        };
        const Flags types[] = {{"global", true, false, true},
                               {"vglobal", true, false, true},
                               {"global_value", false, false, true},
                               {"wish_list_item", true, false, true},
                               {"wish_list_item_enabled", false, true, true},
                               {"user_chat_widget", true, false, true},
                               {"room_form", true, false, true}};
        for (const Flags& f : types)
        {
            Type* type = d->HasType(f.name);
            QVERIFY2(type, f.name);
            QVERIFY2(type->IsRoot() == f.root, f.name);
            QVERIFY2(type->IsNull() == f.null, f.name);
            QVERIFY2(type->IsAutoCreate() == f.autoCreate, f.name);
        }

        // How many partners of the other type one item may hold, each way.
        struct Arity
        {
            const char* a;
            const char* b;
            OneOrMany aHoldsB, bHoldsA;
        };
        const Arity relations[] = {{"global", "global_value", One, Many},
                                   {"vglobal", "global_value", One, Many},
                                   {"wish_list_item", "wish_list_item_enabled", One, Many},
                                   {"user", "user_chat_widget", One, One},
                                   {"room", "room_form", One, One}};
        for (const Arity& r : relations)
        {
            const Relation* ab = T(r.a)->GetRelation(T(r.b));
            const Relation* ba = T(r.b)->GetRelation(T(r.a));
            QVERIFY2(ab && ba, r.b);
            QVERIFY2(ab->partners == r.aHoldsB && ba->partners == r.bHoldsA, r.b);
            QVERIFY2(!ab->owns && !ba->owns, r.b);
        }

        // Run-only settings stay out of the file, and so do their values
        // unless a saved setting shares them.
        ItemPtr(T("vglobal")->GetItem("session")) += ItemPtr(T("global_value")->GetItem("run only"));
        ItemPtr(T("vglobal")->GetItem("also run")) += ItemPtr(T("global_value")->GetItem("shared value"));
        SetSetting("zz_kept", "shared value");
        ItemPtr(T("wish_list_item")->GetItem("jazz")).NewItem("wish_list_item_enabled");
        T("wish_list_item")->GetItem("blues");
        ItemPtr(T("user")->GetItem("zed")) += ItemPtr(T("user_chat_widget")->GetItem("12345"));
        mp_window->EveryFiveMinutes();

        QStringList items, links;
        for (const QString& line : StateToolDump(StatePath()))
        {
            // "item N <type> <value>" and "link A B <item> -- <item>"
            if (line.startsWith("item "))
                items << line.section(' ', 2);
            else if (line.startsWith("link "))
                links << line.section(' ', 3);
        }
        QVERIFY(!items.isEmpty());
        QVERIFY(items.contains("global \"zz_kept\""));
        QVERIFY(items.contains("global_value \"shared value\""));
        QVERIFY(!items.contains("global_value \"run only\""));
        QVERIFY(items.filter(QRegularExpression("^vglobal ")).isEmpty());
        QVERIFY(items.contains("wish_list_item \"jazz\""));
        QVERIFY(items.contains("wish_list_item \"blues\""));
        QCOMPARE(items.count("wish_list_item_enabled (flag)"), 1);
        QVERIFY(links.contains("wish_list_item \"jazz\" -- wish_list_item_enabled (flag)"));
        QVERIFY(items.filter(QRegularExpression("^(user_chat_widget|room_form) ")).isEmpty());
    }

    void fiveMinuteTimerSweepsAndSaves()
    {
        PrepareStateFile();
        StartWindow();
        QFile::remove(StatePath());
        SetSetting("zz_marker", "periodic");
        // An item nothing holds goes in the sweep.
        T("global_value")->GetItem("orphan value");

        QMetaObject::invokeMethod(timerManager->FiveMinuteTimer(), "timeout");

        QVERIFY(!T("global_value")->HasItem("orphan value"));
        QVERIFY(QFile::exists(StatePath()));
        QCOMPARE(LinesOf(kConfig).last(), "Saving configuration data to " + StatePath());
        // Nothing changed: the next tick writes all the same.
        QFile::remove(StatePath());
        mp_window->EveryFiveMinutes();
        QVERIFY(QFile::exists(StatePath()));
    }

    void failedSavesAreLoggedNotFatal()
    {
        PrepareStateFile();
        StartWindow();
        // A folder in the way: the rename over it fails.
        QFile::remove(StatePath());
        QVERIFY(QDir(HomePath()).mkdir(".Tavrinel"));

        mp_window->EveryFiveMinutes();
        QCOMPARE(LinesOf(kConfig).count("Failure to save configuration data."), 1);
        QVERIFY(QFileInfo(StatePath()).isDir());
        QVERIFY(!QDir(HomePath()).entryList({".Tavrinel.*"}, QDir::AllEntries | QDir::Hidden).size());

        // The final save fails the same way and the window still goes.
        mp_window.reset();
        QVERIFY(!dataSaver);
        QVERIFY(QFileInfo(StatePath()).isDir());
        d->Reset();
    }

    void formMatchesTheLayout()
    {
        PrepareStateFile();
        StartWindow();
        Ui_MainWindow* ui = mp_window->Form();

        QCOMPARE(mp_window->windowTitle(), QString("TavrinelQt nightly build 1/11/2012"));
        QCOMPARE(ui->tabControl->count(), 8);
        const QStringList tabs = {"Transfers", "Rooms", "Chat", "Search", "Users", "Browse", "Options", "Diagnostics"};
        for (int k = 0; k < tabs.size(); ++k)
            QCOMPARE(ui->tabControl->tabText(k), tabs[k]);
        QCOMPARE(ui->tabControl->currentIndex(), 1);
        QCOMPARE(ui->roomsTabControl->currentIndex(), -1);
        QCOMPARE(ui->optionsTabControl->currentIndex(), 0);
        QCOMPARE(ui->optionsTabControl->tabText(1), QString("File Sharing"));
        QVERIFY(!ui->roomsTabControl->tabsClosable());
        QVERIFY(ui->chatTabControl->tabsClosable());

        const QList<QAction*> entries = ui->menuConnection->actions();
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries[0]->text(), QString("&Connect"));
        QCOMPARE(entries[1]->text(), QString("&Disconnect"));
        QVERIFY(!ui->action_Data->associatedObjects().contains(ui->menuConnection));

        QCOMPARE(ui->roomList->headerItem()->text(0), QString("Room Name"));
        QCOMPARE(ui->roomList->headerItem()->text(1), QString("Users"));
        QCOMPARE(ui->roomList->columnWidth(0), 150);
        QCOMPARE(ui->sharedFoldersList->headerItem()->text(1), QString("Accessible to"));
        QCOMPARE(ui->usernameEdit->geometry(), QRect(110, 30, 191, 20));
        QVERIFY(ui->usernameEdit->isReadOnly());
        QCOMPARE(ui->downloadFolderEdit->maximumWidth(), 500);
        QCOMPARE(ui->minimizeToTrayCheckBox->text(), QString("Minimize to tray [Windows only]"));

        // Choosing the File Sharing page puts the focus on the folder list.
        ui->tabControl->setCurrentWidget(ui->optionsTab);
        mp_window->activateWindow();
        ui->optionsTabControl->setCurrentIndex(1);
        QCOMPARE(mp_window->focusWidget(), static_cast<QWidget*>(ui->sharedFoldersList));
        // The Login page hands the focus to the user name field.
        ui->optionsTabControl->setCurrentIndex(0);
        QCOMPARE(mp_window->focusWidget(), static_cast<QWidget*>(ui->usernameEdit));
        ui->optionsTabControl->setCurrentIndex(1);
        ui->tabControl->setCurrentWidget(ui->roomsTab);
        ui->tabControl->setCurrentWidget(ui->optionsTab);
        QCOMPARE(mp_window->focusWidget(), static_cast<QWidget*>(ui->sharedFoldersList));

        // The event toolbar sits on a row of its own below mainToolBar.
        QVERIFY(eventToolBar);
        QCOMPARE(eventToolBar->parentWidget(), static_cast<QWidget*>(mp_window.get()));
        QCOMPARE(mp_window->toolBarArea(eventToolBar), Qt::TopToolBarArea);
        QVERIFY(mp_window->toolBarBreak(eventToolBar));
        QVERIFY(!eventToolBar->isMovable());
    }

    // Events pending and the icon blinking while the window closes.
    void closingWithEventsPendingRunsClean()
    {
        PrepareStateFile();
        StartWindow();
        Ui_MainWindow* ui = mp_window->Form();
        QVERIFY(eventToolBar);
        ui->tabControl->setCurrentWidget(ui->optionsTab);
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other, 10000));
        eventToolBar->AddEvent("Search", ":/icons/search_icon", ui->searchForm);
        eventToolBar->AddEvent("Users", ":/icons/users_icon", ui->userListForm);
        eventToolBar->OnIconAlertTimeout();
        mp_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mp_window.get(), 10000));
        ui->usernameEdit->setFocus();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other, 10000));
        eventToolBar->AddEvent("Search", ":/icons/search_icon", ui->searchForm);
        CloseWindow();
        QVERIFY(!eventToolBar);
        QVERIFY(!actionBar);
    }

    // The form as the constructor leaves it, before Init changes anything.
    void formAsBuilt()
    {
        mp_window = std::make_unique<MainWindow>();
        Ui_MainWindow* ui = mp_window->Form();

        QCOMPARE(mp_window->objectName(), QString("MainWindow"));
        QCOMPARE(mp_window->size(), QSize(1000, 600));
        QVERIFY(mp_window->isDockNestingEnabled());
        QVERIFY(!mp_window->windowIcon().isNull());

        QVERIFY(ui->action_Connect->isEnabled());
        QVERIFY(!ui->action_Disconnect->isEnabled());
        QVERIFY(ui->action_Data->isVisible());
        QCOMPARE(ui->action_Data->text(), QString("&Data"));
        QVERIFY(ui->action_Data->associatedObjects().isEmpty());
        QCOMPARE(ui->menuBar->actions().size(), 1);
        QCOMPARE(ui->menuConnection->title(), QString("Connection"));

        // The form builds the shell's own classes under the same names.
        QCOMPARE(ui->mainToolBar, actionBar);
        QVERIFY(qobject_cast<TabWidget*>(ui->tabControl));
        QVERIFY(qobject_cast<TabWidget*>(ui->roomsTabControl));
        QVERIFY(qobject_cast<TabWidget*>(ui->optionsTabControl));
        QVERIFY(qobject_cast<RoomTabWidget*>(ui->chatTabControl));
        QCOMPARE(ui->chatTabControl->parentWidget(), static_cast<QWidget*>(ui->chatTab));
        QCOMPARE(ui->optionsTabControl->parentWidget(), static_cast<QWidget*>(ui->optionsTab));
        QCOMPARE(ui->tabControl->parentWidget(), static_cast<QWidget*>(ui->centralWidget));
        QVERIFY(!ui->mainToolBar->isMovable());
        QCOMPARE(ui->mainToolBar->iconSize(), QSize(16, 16));
        QCOMPARE(ui->mainToolBar->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
        QCOMPARE(mp_window->toolBarArea(ui->mainToolBar), Qt::TopToolBarArea);

        QCOMPARE(ui->roomSplitter->orientation(), Qt::Horizontal);
        QCOMPARE(ui->roomSplitter->widget(0), static_cast<QWidget*>(ui->roomsTabControl));
        QCOMPARE(ui->roomSplitter->widget(1), static_cast<QWidget*>(ui->roomList));
        // The rooms take what the window gains; the room list keeps its width.
        QCOMPARE(ui->roomsTabControl->sizePolicy().horizontalStretch(), 1);
        QCOMPARE(ui->roomList->sizePolicy().horizontalStretch(), 0);
        QCOMPARE(ui->roomList->columnCount(), 2);
        QCOMPARE(ui->roomList->columnWidth(1), 30);
        QCOMPARE(ui->roomList->iconSize(), QSize(16, 11));
        QVERIFY(!ui->roomList->rootIsDecorated());
        QVERIFY(!ui->roomList->itemsExpandable());
        QVERIFY(ui->roomList->isSortingEnabled());
        QCOMPARE(ui->sharedFoldersList->columnWidth(0), 400);
        QCOMPARE(ui->sharedFoldersList->headerItem()->text(0), QString("Shared folder"));

        QCOMPARE(ui->optionsTabControl->tabShape(), QTabWidget::Triangular);
        QCOMPARE(ui->optionsTabControl->count(), 3);
        QCOMPARE(ui->optionsTabControl->tabText(0), QString("Login"));
        QCOMPARE(ui->optionsTabControl->tabText(2), QString("UI"));

        // Fixed places on the Login and UI pages. The listening-port label and
        // the UPnP box are wider than first drawn, so their texts are not cut.
        struct Placed
        {
            QWidget* widget;
            QRect geometry;
            QString text;
        };
        const Placed placed[] = {
            {ui->label_2, QRect(20, 30, 61, 16), "Username"},
            {ui->usernameEdit, QRect(110, 30, 191, 20), ""},
            {ui->listeningPortEdit, QRect(110, 70, 101, 20), ""},
            {ui->label_4, QRect(20, 70, 88, 16), "Listening port"},
            {ui->uPnPCheckBox, QRect(40, 100, 120, 17), "use UPnP"},
            {ui->minimizeToTrayCheckBox, QRect(20, 20, 321, 17), "Minimize to tray [Windows only]"},
            {ui->autoExpandSharesCheckBox, QRect(20, 50, 331, 17), "Auto-expand newly browsed shares"},
        };
        for (const Placed& p : placed)
        {
            QCOMPARE(p.widget->geometry(), p.geometry);
            if (auto* label = qobject_cast<QLabel*>(p.widget))
                QCOMPARE(label->text(), p.text);
            if (auto* box = qobject_cast<QCheckBox*>(p.widget))
            {
                QCOMPARE(box->text(), p.text);
                QVERIFY(!box->isChecked());
            }
        }
        QVERIFY(ui->listeningPortEdit->isReadOnly());
        QVERIFY(ui->downloadFolderEdit->isReadOnly());
        QCOMPARE(ui->downloadFolderEdit->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(ui->label_3->text(), QString("Download Folder"));
        QCOMPARE(ui->label->text(), QString("Shared Folders"));
        QVERIFY(ui->downloadFolderSpacer->text().isEmpty());
    }

    void sharedFolderListFollowsTheStore()
    {
        PrepareStateFile();
        StartWindow();
        QTreeWidget* list = mp_window->Form()->sharedFoldersList;
        const int before = list->topLevelItemCount();

        const std::string path = "/nowhere/Müsik";
        ItemPtr folder = T("shared_folder")->GetItem(path);
        QCOMPARE(list->topLevelItemCount(), before + 1);
        QTreeWidgetItem* row = list->topLevelItem(before);
        QCOMPARE(row->text(0), QString("/nowhere/Müsik"));
        QCOMPARE(row->text(1), QString());

        folder += T("user_list_group")->GetItem("b");
        folder += T("user_list_group")->GetItem("a");
        QCOMPARE(row->text(1), QString("a, b"));
        folder += ItemPtr(T("shared_public")->GetGlobalNullItem());
        QCOMPARE(row->text(1), QString("Everyone"));
        folder -= ItemPtr(T("shared_public")->GetGlobalNullItem());
        QCOMPARE(row->text(1), QString("a, b"));

        folder.Remove();
        QCOMPARE(list->topLevelItemCount(), before);
    }

    void sharedFolderRowsKeepTheirBytes()
    {
        PrepareStateFile();
        StartWindow();
        QTreeWidget* list = mp_window->Form()->sharedFoldersList;
        const int before = list->topLevelItemCount();

        // Both names show alike ("/nowhere/\uFFFD"); each keeps its own row.
        const std::string first = "/nowhere/\xFF";
        const std::string second = "/nowhere/\xFE";
        const std::string utf8 = "/nowhere/Müsik";
        ItemPtr a = T("shared_folder")->GetItem(first);
        ItemPtr b = T("shared_folder")->GetItem(second);
        ItemPtr c = T("shared_folder")->GetItem(utf8);
        QCOMPARE(list->topLevelItemCount(), before + 3);
        auto bytesOf = [list](int i_row) { return list->topLevelItem(i_row)->data(0, Qt::UserRole).toByteArray(); };
        QCOMPARE(bytesOf(before), QByteArray::fromStdString(first));
        QCOMPARE(bytesOf(before + 1), QByteArray::fromStdString(second));
        QCOMPARE(bytesOf(before + 2), QByteArray::fromStdString(utf8));
        QCOMPARE(list->topLevelItem(before)->text(0), list->topLevelItem(before + 1)->text(0));
        QCOMPARE(list->topLevelItem(before + 2)->text(0), QString("/nowhere/Müsik"));

        b += ItemPtr(T("shared_userlist")->GetGlobalNullItem());
        c += ItemPtr(T("shared_public")->GetGlobalNullItem());
        QCOMPARE(list->topLevelItem(before)->text(1), QString());
        QCOMPARE(list->topLevelItem(before + 1)->text(1), QString("User List"));
        QCOMPARE(list->topLevelItem(before + 2)->text(1), QString("Everyone"));

        // Removing the second folder takes its own row, not the first one
        // that reads the same.
        b.Remove();
        QCOMPARE(list->topLevelItemCount(), before + 2);
        QCOMPARE(bytesOf(before), QByteArray::fromStdString(first));
        QCOMPARE(bytesOf(before + 1), QByteArray::fromStdString(utf8));
        a += T("user_list_group")->GetItem("friends");
        QCOMPARE(list->topLevelItem(before)->text(1), QString("friends"));
        c.Remove();
        a.Remove();
        QCOMPARE(list->topLevelItemCount(), before);
    }

    void newListeningPortTakesEffectAtTheNextStart()
    {
        StartLoggedIn();
        const std::string oldPort = GetSetting("listening_port");
        QCOMPARE(QString::number(peerMessenger->ListeningPort()), FromLatin1(oldPort));
        const QString newPort = FreePort();

        auto* dialog = new ChangeListeningPortDialog(mp_window.get());
        QPointer<ChangeListeningPortDialog> guard(dialog);
        dialog->setVisible(true);
        QCOMPARE(dialog->findChild<QLineEdit*>("portEdit")->text(), FromLatin1(oldPort));
        dialog->findChild<QLineEdit*>("portEdit")->setText(newPort);
        QString told;
        ModalDriver modals;
        modals.Then([&told](QWidget* ip_widget) {
            told = ip_widget->windowTitle();
            qobject_cast<QMessageBox*>(ip_widget)->button(QMessageBox::Ok)->click();
        });
        dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(told, QString("Change to Listening Port Pending"));

        // Shown at once, applied only at the next start.
        QCOMPARE(GetSetting("new_listening_port"), newPort.toStdString());
        QCOMPARE(mp_window->Form()->listeningPortEdit->text(), newPort);
        QCOMPARE(GetSetting("listening_port"), oldPort);
        QCOMPARE(QString::number(peerMessenger->ListeningPort()), FromLatin1(oldPort));
        QTRY_VERIFY(!guard);

        CloseWindow();
        QTRY_VERIFY_WITH_TIMEOUT(!IsLoggedIn(m_server, "bob"), 10000);
        StartWindow();
        QCOMPARE(GetSetting("listening_port"), newPort.toStdString());
        QVERIFY(GetSetting("new_listening_port").empty());
        QCOMPARE(QString::number(peerMessenger->ListeningPort()), newPort);
        QCOMPARE(mp_window->Form()->listeningPortEdit->text(), newPort);
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, newPort.toUShort());
        QVERIFY(probe.waitForConnected(10000));
    }

    void diagnosticsShowEveryCategoryAsPlainText()
    {
        PrepareStateFile();
        StartWindow();
        Log("Test Category", 2, "<b>not bold</b>");
        Log("Test Category", 1, "top");
        const QStringList lines = LogText("Test Category").split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].endsWith("]    <b>not bold</b>"));
        QVERIFY(lines[1].endsWith("] top"));
        QVERIFY(LogText("Nobody logs here").isEmpty());
    }

    void iconsAndFlagsAreEmbedded()
    {
        const QStringList icons = {"download_icon", "remove_user_icon", "add_user_icon", "online_icon", "room_icon",
                                   "wishlist_icon", "chat_icon", "search_icon", "browse_icon", "users_icon",
                                   "offline_icon", "tvrn_icon", "transfer_icon"};
        mp_window = std::make_unique<MainWindow>();   // registers the resources
        for (const QString& name : icons)
            QVERIFY2(!QPixmap(":/icons/" + name).isNull(), qPrintable(name));
        // The form of a toolbar icon without the slash resolves alike.
        QVERIFY(!QPixmap(":icons/online_icon").isNull());
        QCOMPARE(QPixmap(":/resources/flags/de.png").size(), QSize(16, 11));
        QVERIFY(QPixmap(":/resources/flags/zz.png").isNull());
    }

    void screenshot()
    {
        PrepareStateFile();
        StartWindow();
        mp_window->resize(1000, 600);
        const QString folder = qEnvironmentVariable("TV_BUILD_DIR") + "/test-artefacts";
        QVERIFY(QDir().mkpath(folder));
        const QPixmap shot = mp_window->grab();
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(folder + "/mainwindow.png"));
        mp_window->Form()->tabControl->setCurrentWidget(mp_window->Form()->optionsTab);
        QVERIFY(mp_window->grab().save(folder + "/mainwindow-options.png"));
    }
};

QTEST_MAIN(StartupTest)
#include "test_startup.moc"
