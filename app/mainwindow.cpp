#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "ActionSetToolBar.h"
#include "AddSharedFolderDialog.h"
#include "ChangeListeningPortDialog.h"
#include "ChangeSaver.h"
#include "ChangeUsernamePasswordDialog.h"
#include "ChatForm.h"
#include "DataDialog.h"
#include "DNetManager.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "EventToolBar.h"
#include "FocusFunctions.h"
#include "GeneralFunctions.h"
#include "LiveAddresses.h"
#include "Log.h"
#include "NameCells.h"
#include "PeerMessenger.h"
#include "PortForwarder.h"
#include "QRoomListItemWidget.h"
#include "RoomForm.h"
#include "SharedFilesRescannedDialog.h"
#include "SharedFoldersManager.h"
#include "ShownNames.h"
#include "StateFile.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "UserMenuOptions.h"
#include "WishListSearcher.h"
#include "server.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QIcon>
#include <QMessageBox>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QTimer>
#include <QTreeWidgetItem>

#include <algorithm>
#include <unordered_map>
#include <vector>

MainWindow* mainWindow = nullptr;

// The icons and flags live in a static library; naming their registration
// functions keeps the linker from dropping them.
static void InitResources()
{
    Q_INIT_RESOURCE(icons);
    Q_INIT_RESOURCE(flags);
}

namespace
{
const QString kConfigurationData = QStringLiteral("Configuration Data");

const char* YesNo(bool i_yes)
{
    return i_yes ? "yes" : "no";
}
}

// ---------------------------------------------------------------- construction

MainWindow::MainWindow(QWidget* ip_parent)
    : QMainWindow(ip_parent), mp_ui(new Ui_MainWindow), m_sizeProxy(this)
{
    InitResources();
    // One window per run; tests build several in turn.
    g_showIsOver = false;
    mainWindow = this;
    // The user menu opens chats and hangs its dialogs here.
    gp_userMenuWindow = this;
    gp_openChatForm = [](const std::string& i_user) {
        if (mainWindow && !g_showIsOver)
            mainWindow->OpenChatForm(i_user);
    };
    // The form builds the tab controls as TabWidget and RoomTabWidget and
    // mainToolBar as the ActionSetToolBar (the global actionBar).
    mp_ui->setupUi(this);

    SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));
    m_trayIcon.setIcon(QIcon(QStringLiteral(":/icons/tvrn_icon")));
    m_trayIcon.setToolTip(QStringLiteral("Tavrinel"));

    mp_ui->roomList->setColumnWidth(0, 150);
    mp_ui->roomList->setColumnWidth(1, 30);
    mp_ui->roomList->setHeaderLabels({tr("Room Name"), tr("Users")});

    mp_ui->roomSplitter->setStretchFactor(0, 1);
    mp_ui->roomSplitter->setStretchFactor(1, 0);

    mp_ui->sharedFoldersList->setColumnWidth(0, 400);
    mp_ui->sharedFoldersList->setHeaderLabels({tr("Shared folder"), tr("Accessible to")});
}

std::string MainWindow::StateFilePath()
{
    const QByteArray path = QFile::encodeName(QDir::homePath() + QStringLiteral("/.Tavrinel"));
    return std::string(path.constData(), size_t(path.size()));
}

void MainWindow::Init()
{
    m_initialised = true;
    mp_dataDialog = nullptr;

    // Each manager's constructor uses the globals of those built before it.
    new TimerManager;
    new DataSaver;
    mp_server = new Server;
    mp_server->CreateData();

    qRegisterMetaType<ItemPtr>("ItemPtr");

    connect(mp_server, &Server::Connected, this, &MainWindow::OnConnected);
    connect(mp_server, &Server::Connecting, this, &MainWindow::OnConnecting);
    connect(mp_server, &Server::Disconnected, this, &MainWindow::OnDisconnected);
    connect(mp_ui->action_Connect, &QAction::triggered, this, &MainWindow::OnConnectMenuOptionClicked);
    connect(mp_ui->action_Disconnect, &QAction::triggered, this, &MainWindow::OnDisconnectMenuOptionClicked);
    connect(mp_ui->action_Data, &QAction::triggered, this, &MainWindow::OnShowData);
    connect(mp_ui->roomList, &QTreeWidget::itemDoubleClicked, this, &MainWindow::OnRoomListItemDoubleClicked);

    AddPairHandler(T("room"), T("user_count"), this, &MainWindow::OnRoomUserCountAdded);
    mp_ui->roomList->sortByColumn(0, Qt::AscendingOrder);
    AddPairHandler(T("room"), T("in_room"), this, &MainWindow::OnEnteredRoom);

    actionBar->Init();
    AddToolBarActions();

    connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &MainWindow::OnToolBarActionTriggered);
    connect(qApp, &QApplication::focusChanged, this, &MainWindow::OnFocusChanged);

    new PeerMessenger;

    CreateTypes();

    new DelayedInvoker(nullptr);
    new DNetManager;
    new SharedFoldersManager(this);

    Relate(T("user"), MakeType("user_chat_widget", true, false, true), One, One);
    Relate(T("room"), MakeType("room_form", true, false, true), One, One);

    connect(gp_server, &Server::PrivateChat, this, &MainWindow::OnPrivateChat);

    Type* sharedFolder = T("shared_folder");
    AddHandler(sharedFolder->itemAdded, this, &MainWindow::OnSharedFolderAdded);
    AddHandler(sharedFolder->itemRemoved, this, &MainWindow::OnSharedFolderRemoved);
    AddHandler(sharedFolder->connected, this, &MainWindow::OnSharedFolderChange);
    AddHandler(sharedFolder->disconnected, this, &MainWindow::OnSharedFolderChange);

    new SizeManager(nullptr);

    mp_ui->diagnosticsForm->Init();

    // Before the views; its five-minute check runs before the window's save.
    new TransferQueueManager;

    mp_ui->transfersForm->Init();
    mp_ui->sharesForm->Init();
    mp_ui->searchForm->Init();

    new WishListSearcher(this);

    // On a row of its own below mainToolBar; the window adopts it.
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, new EventToolBar(nullptr));

    // Rooted at the type rather than at the "username" item, so the handler
    // holds no item that anything could remove.
    {
        PathNode* root = new PathNode(d, "global");
        new PathNode(root, "global_value", ConnectedNotify);
        AddPathHandler(root, this, &MainWindow::OnUsernameChanged);
    }

    connect(gp_server, &Server::ConnectionFailed, this, &MainWindow::OnConnectionFailed);

    // Defaults; the state file replaces them.
    SetSetting("minimize_to_tray", "yes");
    SetSetting("expand_new_shares", "yes");

    if (!LoadState())
        return;

    // Queued and finished downloads and shared folders reach the state file
    // soon, not only every five minutes: a crash or a kill keeps them.
    mp_changeSaver = new ChangeSaver([this] { SaveState(); }, 2000, this);
    for (const char* type : {"download_entry", "complete_download", "shared_folder"})
        mp_changeSaver->WatchItems(type);
    mp_changeSaver->WatchLinks("download_entry", "download_entry_status");
    for (const char* audience : {"shared_public", "shared_userlist", "user_list_group"})
        mp_changeSaver->WatchLinks("shared_folder", audience);

    SetSetting("data_version", "1");

    if (GetSetting("username").empty())
    {
        ChangeUsernamePasswordDialog dialog(true, nullptr);
        dialog.exec();
    }
    if (!GetSetting("username").empty())
        mp_server->Connect();

    FillOptionsTab();

    {
        PathNode* root = new PathNode(d, "global");
        new PathNode(root, "global_value", ConnectedNotify);
        AddPathHandler(root, this, &MainWindow::OnNewListeningPortChanged);
    }

    sizeManager->RegisterResizableWindow(QStringLiteral("main_window"), &m_sizeProxy);
    mp_ui->roomSplitter->setSizes({std::max(0, width() - 220), 220});
    sizeManager->RegisterSplitter(QStringLiteral("room_list_splitter"), mp_ui->roomSplitter, {});
    sizeManager->RegisterTreeWidget(QStringLiteral("room_list"), mp_ui->roomList);

    mp_ui->userListForm->Init();

    connect(timerManager->HalfMinuteTimer(), &QTimer::timeout, this, &MainWindow::EveryHalfMinute);
    connect(timerManager->FiveMinuteTimer(), &QTimer::timeout, this, &MainWindow::EveryFiveMinutes);
    connect(&m_trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayIconActivated);
    activateWindow();

    // The first scan runs here, synchronously; the report is connected only
    // afterwards, so that scan is never reported.
    sharedFoldersManager->Init();
    connect(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned, this,
            &MainWindow::OnSharedFilesRescanned);

    // These take the focus when their options pages are shown.
    RegisterWidgetForTabFocus(mp_ui->usernameEdit, 1);
    RegisterWidgetForTabFocus(mp_ui->sharedFoldersList, 1);
}

void MainWindow::AddToolBarActions()
{
    const std::string room = ":/icons/room_icon";
    actionBar->AddSetAction("room_list", "enter_room", "Enter Room", room, false);
    actionBar->AddSetAction("room_list", "create_room", "Create Room", room, false);
    actionBar->AddSetAction("room_list", "refresh_room_list", "Refresh Room List", room, false);
    actionBar->RegisterWidget(mp_ui->roomList, QStringLiteral("room_list"));
    actionBar->AddWidgetColumnKey(mp_ui->roomList, QStringLiteral("room"), 0);

    // Room views bind themselves to this set with their room as the key.
    actionBar->AddSetAction("room", "leave_room", "Leave Room", room, false);
    actionBar->AddSetAction("room", "toggle_room_autojoin", "Toggle Room Autojoin", room, false);

    const std::string browse = ":/icons/browse_icon";
    actionBar->AddSetAction("shared_folders", "set_download_folder", "Set Download Folder", browse, false);
    actionBar->AddSetAction("shared_folders", "share_folder", "Share Folder", browse, false);
    actionBar->AddSetAction("shared_folders", "unshare_folder", "Unshare Folder", browse, false);
    actionBar->AddSetAction("shared_folders", "rescan_shares", "Rescan Shares", browse, false);
    actionBar->RegisterWidget(mp_ui->fileSharingOptionsTab, QStringLiteral("shared_folders"));

    const std::string online = ":icons/online_icon";
    actionBar->AddSetAction("login_options", "set_user_pass", "Change Username/Password", online, false);
    actionBar->AddSetAction("login_options", "set_listening_port", "Change Listening Port", online, false);
    actionBar->RegisterWidget(mp_ui->loginOptionsTab, QStringLiteral("login_options"));

    // Carried out for any widget a view binds to "user" with the key "user".
    actionBar->AddSetAction("user", "message_user", "Message User", ":/icons/chat_icon", true);
    actionBar->AddSetAction("user", "browse_user", "Browse User's Files", browse, true);
    actionBar->AddSetAction("user", "add_user", "Add User", ":/icons/add_user_icon", true);
}

void MainWindow::CreateTypes()
{
    Type* global = MakeType("global", true, false, true);
    Type* vglobal = MakeType("vglobal", true, false, true);
    Type* globalValue = MakeType("global_value", false, false, true);
    Relate(global, globalValue, Many, One);
    Relate(vglobal, globalValue, Many, One);
    dataSaver->AddSavedType("global");
    dataSaver->AddSavedByConnectionType("global_value", "global");

    Type* wishListItem = MakeType("wish_list_item", true, false, true);
    Type* wishListItemEnabled = MakeType("wish_list_item_enabled", false, true, true);
    Relate(wishListItem, wishListItemEnabled, Many, One);
    dataSaver->AddSavedType("wish_list_item");
    dataSaver->AddSavedType("wish_list_item_enabled");
}

bool MainWindow::LoadState()
{
    const std::string path = StateFilePath();
    const QString shownPath = QFile::decodeName(path.c_str());
    Log(kConfigurationData, 1, QStringLiteral("Loading configuration data from %1").arg(shownPath));
    try
    {
        dataSaver->Load(path.c_str());
        Log(kConfigurationData, 1, QStringLiteral("Data loaded successfully."));
    }
    catch (const DataLoadFailure& e)
    {
        // The file has been moved aside and the store is as it was before
        // the load, defaults included: go on as on a first start.
        Log(kConfigurationData, 1, QStringLiteral("Failure to load configuration data."));
        Log(kConfigurationData, 2, QFile::decodeName(e.what()));
        QMessageBox::information(this, tr("Error loading configuration data"),
                                 tr("Your client configuration data could not be loaded. Starting from scratch..."),
                                 QMessageBox::Ok);
        dataSaver->NotifyDataLoaded();
    }
    catch (const DataReadFailure& e)
    {
        // Not damaged, only out of reach (permissions, a failing disk):
        // starting from scratch would save over the user's state. Nothing
        // is written from here on; the line also goes to the terminal, since
        // the log view goes with the window.
        m_stateFileUnreadable = true;
        const QString reason = QFile::decodeName(e.what());
        Log(kConfigurationData, 1, QStringLiteral("Failure to read configuration data: %1").arg(reason));
        qWarning("Failure to read configuration data: %s", e.what());
        QMessageBox::critical(this, tr("Cannot read configuration data"),
                              tr("Your client configuration data could not be read (%1). "
                                 "It has been left as it is; the client will now close.")
                                  .arg(reason),
                              QMessageBox::Ok);
        return false;
    }
    // A save killed midway leaves its temporary file; the file itself is
    // whole, old or new.
    for (const std::string& leftover : statefile::RemoveUnfinishedSaves(path))
        Log(kConfigurationData, 2,
            QStringLiteral("Removed an unfinished save: %1").arg(QFile::decodeName(leftover.c_str())));
    return true;
}

void MainWindow::SaveState()
{
    if (!dataSaver || m_stateFileUnreadable)
        return;
    try
    {
        const std::string keptAs = dataSaver->Save(StateFilePath().c_str());
        if (!keptAs.empty())
            Log(kConfigurationData, 1,
                QStringLiteral("The state file's link led to something other than a regular file; the link was "
                               "kept as %1 and the data saved in its place.")
                    .arg(QFile::decodeName(keptAs.c_str())));
    }
    catch (const DataSaveFailure& e)
    {
        // The previous file is untouched; the next save tries again.
        Log(kConfigurationData, 1, QStringLiteral("Failure to save configuration data."));
        Log(kConfigurationData, 2, QFile::decodeName(e.what()));
    }
}

void MainWindow::FillOptionsTab()
{
    // Ticking a box runs its slot, which writes the same value back.
    mp_ui->downloadFolderEdit->setText(FromUtf8(GetSetting("download_folder")));
    mp_ui->uPnPCheckBox->setChecked(IsSettingYes("use_upnp"));
    mp_ui->autoExpandSharesCheckBox->setChecked(IsSettingYes("expand_new_shares"));
    if (IsSettingYes("minimize_to_tray"))
    {
        mp_ui->minimizeToTrayCheckBox->setChecked(true);
        m_trayIcon.setVisible(true);
    }
    mp_ui->listeningPortEdit->setText(FromLatin1(GetSetting("listening_port")));
}

// ---------------------------------------------------------------- shut-down

MainWindow::~MainWindow()
{
    g_showIsOver = true;
    // Nothing below may reach the window's handlers while it is torn down,
    // nor its slots while the base class destroys the widgets (focus moves,
    // tabs go).
    DisableHandlers();
    // The final save below is the last.
    delete mp_changeSaver;
    mp_changeSaver = nullptr;
    disconnect(qApp, nullptr, this, nullptr);
    for (QObject* child : findChildren<QObject*>())
        disconnect(child, nullptr, this, nullptr);

    if (m_initialised)
    {
        if (gp_server)
            gp_server->Disconnect();
        // A move or resize that has not settled yet is still the user's.
        m_sizeProxy.Flush();
        d->RemoveDisconnectedItems();
        SaveState();

        // Each global is cleared as its object goes, so nothing that runs
        // later finds a dangling one.
        delete transferQueueManager;
        transferQueueManager = nullptr;
        delete sharedFoldersManager;
        sharedFoldersManager = nullptr;
        delete delayedInvoker;
        delayedInvoker = nullptr;
        delete dnetManager;
        dnetManager = nullptr;
        delete peerMessenger;
        peerMessenger = nullptr;
        delete mp_server;
        mp_server = nullptr;
        gp_server = nullptr;
        delete dataSaver;
        dataSaver = nullptr;
        delete timerManager;
        timerManager = nullptr;
    }
    delete mp_ui;
    mp_ui = nullptr;
    if (m_initialised)
    {
        delete sizeManager;
        sizeManager = nullptr;
    }

    if (mainWindow == this)
    {
        mainWindow = nullptr;
        gp_userMenuWindow = nullptr;
        gp_openChatForm = nullptr;
    }
}

// ---------------------------------------------------------------- connection state

void MainWindow::OnConnecting()
{
    if (g_showIsOver)
        return;
    mp_ui->action_Connect->setEnabled(false);
    mp_ui->action_Disconnect->setEnabled(false);
}

void MainWindow::OnConnected()
{
    if (g_showIsOver)
        return;
    mp_ui->action_Connect->setEnabled(false);
    mp_ui->action_Disconnect->setEnabled(true);
    SetApplicationIcon(QStringLiteral(":/icons/online_icon"));
    gp_server->GetOwnPrivilegesStatus();
}

void MainWindow::OnDisconnected()
{
    if (g_showIsOver)
        return;
    mp_ui->action_Connect->setEnabled(true);
    mp_ui->action_Disconnect->setEnabled(false);
    SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));
}

void MainWindow::OnConnectionFailed(std::string i_reason)
{
    if (g_showIsOver)
        return;
    const QString advice = tr("Please change your login settings in the Options tab and try reconnecting.");
    QString title, text;
    if (i_reason == "INVALIDPASS")
    {
        title = tr("Login Failure: Wrong Password");
        text = tr("Login failed. The password you supplied does not match your username. ") + advice;
    }
    else if (i_reason == "INVALIDUSERNAME")
    {
        title = tr("Login Failure: Username is Invalid");
        text = tr("Login failed. The username you supplied is invalid. ") + advice;
    }
    else if (gp_server && !gp_server->IsAbruptlyDisconnected())
    {
        title = tr("Login Failure");
        text = tr("Login failed. Reported failure reason: %1. ").arg(FromLatin1(i_reason)) + advice;
    }
    if (!title.isEmpty())
    {
        // The reason is the server's text: shown as it is, never as markup.
        QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
    // The box ran its own event loop: the window may be going meanwhile.
    if (g_showIsOver || !mp_ui)
        return;
    mp_ui->action_Connect->setEnabled(true);
    mp_ui->action_Disconnect->setEnabled(false);
}

void MainWindow::SetApplicationIcon(QString i_resource)
{
    const QIcon icon(i_resource);
    QApplication::setWindowIcon(icon);
    setWindowIcon(icon);
}

void MainWindow::ResetApplicationIcon()
{
    SetApplicationIcon(gp_server && gp_server->IsConnected() ? QStringLiteral(":/icons/online_icon")
                                                             : QStringLiteral(":/icons/offline_icon"));
}

void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason i_reason)
{
    if (g_showIsOver || i_reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    activateWindow();
}

void MainWindow::OnUsernameChanged(Item* ip_item)
{
    if (ip_item->GetValue() != "username")
        return;
    mp_ui->usernameEdit->setText(FromName(ItemPtr(ip_item)["global_value"].AsString()));
}

void MainWindow::OnNewListeningPortChanged(Item* ip_item)
{
    if (ip_item->GetValue() != "new_listening_port")
        return;
    mp_ui->listeningPortEdit->setText(FromLatin1(ItemPtr(ip_item)["global_value"].AsString()));
}

void MainWindow::moveEvent(QMoveEvent* ip_event)
{
    QMainWindow::moveEvent(ip_event);
    m_sizeProxy.NoteMoved();
}

void MainWindow::resizeEvent(QResizeEvent* ip_event)
{
    QMainWindow::resizeEvent(ip_event);
    m_sizeProxy.NoteResized();
}

void MainWindow::OnRoomListItemSelectionChanged() {}

void MainWindow::OnFocusChanged(QWidget*, QWidget*) {}

void MainWindow::EveryHalfMinute() {}

// ---------------------------------------------------------------- periodic save

void MainWindow::EveryFiveMinutes()
{
    if (g_showIsOver || !dataSaver)
        return;
    d->RemoveDisconnectedItems();
    Log(kConfigurationData, 1,
        QStringLiteral("Saving configuration data to %1").arg(QFile::decodeName(StateFilePath().c_str())));
    SaveState();
}

// ---------------------------------------------------------------- options tab

void MainWindow::OnConnectMenuOptionClicked()
{
    if (mp_server)
        mp_server->Connect();
}

void MainWindow::OnDisconnectMenuOptionClicked()
{
    if (mp_server)
        mp_server->Disconnect();
}

void MainWindow::OnShowData()
{
    if (!mp_dataDialog)
        mp_dataDialog = new DataDialog(d, this);
    mp_dataDialog->show();
}

void MainWindow::OnChangeUsernamePasswordClicked()
{
    (new ChangeUsernamePasswordDialog(false, this))->setVisible(true);
}

void MainWindow::OnOptionsTabSelectionChanged(int i_tabIndex)
{
    if (g_showIsOver || i_tabIndex == -1)
        return;
    if (mp_ui->optionsTabControl->tabText(i_tabIndex) == QLatin1String("File Sharing"))
        mp_ui->sharedFoldersList->setFocus(Qt::OtherFocusReason);
}

void MainWindow::OnUPnPCheckboxToggled(bool i_toggled)
{
    if (g_showIsOver)
        return;
    SetSetting("use_upnp", YesNo(i_toggled));
    if (i_toggled && portForwarder)
        portForwarder->Init();
}

void MainWindow::OnMinimizeToTrayCheckboxToggled(bool i_toggled)
{
    if (g_showIsOver)
        return;
    SetSetting("minimize_to_tray", YesNo(i_toggled));
    m_trayIcon.setVisible(i_toggled);
}

void MainWindow::OnExpandNewSharesCheckboxToggled(bool i_toggled)
{
    if (g_showIsOver)
        return;
    SetSetting("expand_new_shares", YesNo(i_toggled));
}

void MainWindow::OnSharedFilesRescanned(int i_added, int i_removed)
{
    auto* report = new SharedFilesRescannedDialog(this);
    report->Append(tr("%1 files added.").arg(i_added));
    report->Append(tr("%1 files removed.").arg(i_removed));
    report->setWindowTitle(tr("Shared Files Rescanned"));
    report->setVisible(true);
}

QString MainWindow::SharedFolderAudience(Item* ip_folder)
{
    if (ip_folder->IsConnected("shared_public"))
        return tr("Everyone");
    if (ip_folder->IsConnected("shared_userlist"))
        return tr("User List");
    std::vector<std::string> groups;
    for (Item* group : ip_folder->GetItems("user_list_group"))
        groups.push_back(group->GetValue());
    std::sort(groups.begin(), groups.end());
    QStringList names;
    for (const std::string& group : groups)
        names << FromName(group);
    return names.join(QStringLiteral(", "));
}

QTreeWidgetItem* MainWindow::FindSharedFolderRow(Item* ip_folder) const
{
    // By the folder's bytes, not the shown text: names that are not valid
    // UTF-8 can decode alike, and the wrong row would go.
    const QByteArray folder = QByteArray::fromStdString(ip_folder->GetValue());
    QTreeWidget* list = mp_ui->sharedFoldersList;
    for (int k = 0; k < list->topLevelItemCount(); ++k)
        if (list->topLevelItem(k)->data(0, Qt::UserRole).toByteArray() == folder)
            return list->topLevelItem(k);
    return nullptr;
}

void MainWindow::OnSharedFolderAdded(Item* ip_item)
{
    auto* row = new QTreeWidgetItem(mp_ui->sharedFoldersList);
    row->setText(0, FromUtf8(ip_item->GetValue()));
    row->setData(0, Qt::UserRole, QByteArray::fromStdString(ip_item->GetValue()));
}

void MainWindow::OnSharedFolderRemoved(Item* ip_item)
{
    delete FindSharedFolderRow(ip_item);
}

void MainWindow::OnSharedFolderChange(ConnectionInfo i_info)
{
    const std::string& partner = i_info.to->GetType()->GetName();
    if (partner != "shared_public" && partner != "shared_userlist" && partner != "user_list_group")
        return;
    if (QTreeWidgetItem* row = FindSharedFolderRow(i_info.from))
        row->setText(1, SharedFolderAudience(i_info.from));
}

// ---------------------------------------------------------------- rooms and chats

void MainWindow::OnRoomUserCountAdded(ConnectionInfo& i_info)
{
    const std::string& room = i_info.from->GetValue();
    const QString count = FromLatin1(i_info.to->GetValue());
    QTreeWidgetItem*& row = m_roomRows[room];
    if (!row)
    {
        row = new QRoomListItemWidget(mp_ui->roomList);
        SetNameCell(row, 0, room);
        row->setText(1, count);
        return;
    }
    // A later room list brings new counts for rooms already listed. Told
    // row by row, the list would look for each row's place among all rows
    // once it has sorted them; one repaint (and sort) serves the whole list.
    {
        const QSignalBlocker quiet(mp_ui->roomList->model());
        row->setText(1, count);
    }
    if (delayedInvoker)
        delayedInvoker->Invoke(this, "OnRoomCountsChanged()", 0);
}

void MainWindow::OnRoomCountsChanged()
{
    if (g_showIsOver)
        return;
    QTreeWidget* list = mp_ui->roomList;
    if (list->isSortingEnabled() && list->sortColumn() == 1)
        list->sortItems(1, list->header()->sortIndicatorOrder());
    list->viewport()->update();
}

void MainWindow::OnRoomListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column)
{
    if (!ip_item || i_column != 0 || !mp_server)
        return;
    mp_server->EnterRoom(NameOfCell(ip_item, 0));
}

void MainWindow::OnEnteredRoom(ConnectionInfo& i_info)
{
    if (g_showIsOver || i_info.from->IsConnected("room_form"))
        return;
    const std::string& room = i_info.from->GetValue();
    auto* form = new RoomForm(room, nullptr);
    AddNameTab(mp_ui->roomsTabControl, form, FromName(room));
    form->Init();
    FocusWidget(form);
}

void MainWindow::OnRoomTabClosed(int i_index)
{
    if (g_showIsOver || !mp_server)
        return;
    // By the view's room: the tab's text need not lead back to its bytes.
    if (auto* form = qobject_cast<RoomForm*>(mp_ui->roomsTabControl->widget(i_index)))
        mp_server->LeaveRoom(form->RoomName());
}

ChatForm* MainWindow::GetChatForm(std::string i_user)
{
    ItemPtr user = T("user")->GetItem(i_user);
    if (ItemPtr link = user["user_chat_widget"])
    {
        if (ChatForm* form = LiveObject<ChatForm>(link))
            return form;
        // The view went without its item: the link leads nowhere.
        link.Remove();
    }

    auto* form = ListLiveUntilDestroyed(new ChatForm(i_user, this));
    // The tab becomes current only when it is the first one.
    AddNameTab(mp_ui->chatTabControl, form, FromName(i_user));
    user += T("user_chat_widget")->GetItem(Value(form));
    return form;
}

ChatForm* MainWindow::OpenChatForm(std::string i_user)
{
    ChatForm* form = GetChatForm(i_user);
    FocusWidgetAndParents(form);
    return form;
}

void MainWindow::OnPrivateChat(std::string i_user, std::string i_chat, time_t, bool)
{
    if (g_showIsOver)
        return;
    GetChatForm(i_user)->AddChat(i_chat);
}

void MainWindow::OnChatTabClosed(int i_index)
{
    if (g_showIsOver)
        return;
    // By the view's user: the tab's text need not lead back to its bytes.
    auto* form = qobject_cast<ChatForm*>(mp_ui->chatTabControl->widget(i_index));
    if (!form)
        return;
    ItemPtr user = T("user")->HasItem(form->User());
    ItemPtr link = user["user_chat_widget"];
    if (!link)
        return;
    // Deferred: the tab's own signal is still being delivered.
    if (ChatForm* chat = LiveObject<ChatForm>(link))
        chat->deleteLater();
    link.Remove();
}

// ---------------------------------------------------------------- toolbar

namespace
{
// A context value of the toolbar as the store's bytes.
std::string ContextKey(const char* ip_key)
{
    return actionBar ? ToLatin1(actionBar->GetKey(QString::fromLatin1(ip_key))) : std::string();
}
}

void MainWindow::OnToolBarActionTriggered(std::string i_action)
{
    if (g_showIsOver || !mp_server)
        return;
    // An action on a room or a user names the context key it needs; a room
    // or user never named by a row or a view reads as "": nothing to do then.
    using Handler = void (*)(MainWindow*, const std::string&);
    struct Action
    {
        const char* key;
        Handler run;
    };
    static const std::unordered_map<std::string, Action> s_actions = {
        {"refresh_room_list", {nullptr, [](MainWindow* w, const std::string&) { w->mp_server->GetRoomList(); }}},
        {"enter_room", {"room", [](MainWindow* w, const std::string& room) { w->mp_server->EnterRoom(room); }}},
        {"leave_room", {"room", [](MainWindow* w, const std::string& room) { w->mp_server->LeaveRoom(room); }}},
        {"share_folder",
         {nullptr, [](MainWindow* w, const std::string&) { (new AddSharedFolderDialog(w))->setVisible(true); }}},
        {"unshare_folder", {nullptr, [](MainWindow* w, const std::string&) { w->UnshareSelectedFolders(); }}},
        {"set_download_folder", {nullptr, [](MainWindow* w, const std::string&) { w->ChooseDownloadFolder(); }}},
        {"rescan_shares", {nullptr,
                           [](MainWindow*, const std::string&) {
                               if (sharedFoldersManager)
                                   sharedFoldersManager->RescanShares();
                           }}},
        // Through the browse tab: a share list that arrives for a user
        // without one is thrown away, so a bare request would show nothing.
        {"browse_user",
         {"user", [](MainWindow* w, const std::string& user) { w->mp_ui->sharesForm->OpenShareBrowse(user); }}},
        {"message_user", {"user", [](MainWindow* w, const std::string& user) { w->GetChatForm(user)->Focus(); }}},
        {"add_user", {"user",
                      [](MainWindow*, const std::string& user) {
                          ItemPtr(T("user")->GetItem(user)).NewItem("in_user_list");
                      }}},
        {"toggle_room_autojoin", {"room",
                                  [](MainWindow*, const std::string& name) {
                                      ItemPtr room = T("room")->GetItem(name);
                                      if (room.IsConnected("room_autojoin"))
                                          room.Disconnect("room_autojoin");
                                      else
                                          room.NewItem("room_autojoin");
                                  }}},
        {"set_user_pass",
         {nullptr,
          [](MainWindow* w, const std::string&) {
              if (gp_server->IsConnected())
                  QMessageBox::information(
                      w, tr("Cannot change username while online"),
                      tr("You must be disconnected from the Tavrinel server to change your username."),
                      QMessageBox::Ok, QMessageBox::NoButton);
              else
                  w->OnChangeUsernamePasswordClicked();
          }}},
        {"set_listening_port",
         {nullptr, [](MainWindow* w, const std::string&) { (new ChangeListeningPortDialog(w))->setVisible(true); }}},
    };
    const auto found = s_actions.find(i_action);
    if (found == s_actions.end())
        return;
    std::string key;
    if (found->second.key)
    {
        key = ContextKey(found->second.key);
        if (key.empty())
            return;
    }
    found->second.run(this, key);
}

void MainWindow::UnshareSelectedFolders()
{
    // Each row keeps its folder's exact bytes; the shown text may not lead
    // back to them. All are read before the first removal takes its row.
    std::vector<QByteArray> folders;
    for (QTreeWidgetItem* row : mp_ui->sharedFoldersList->selectedItems())
        folders.push_back(row->data(0, Qt::UserRole).toByteArray());
    Type* sharedFolder = d->HasType("shared_folder");
    if (!sharedFolder)
        return;
    for (const QByteArray& folder : folders)
    {
        ItemPtr item = sharedFolder->HasItem(folder.toStdString());
        if (!item)
            continue;
        item.Remove();
        d->RemoveDisconnectedItems();
    }
}

void MainWindow::ChooseDownloadFolder()
{
    QFileDialog dialog(this, tr("Set Download Folder"), QString(), QString());
    dialog.setFileMode(QFileDialog::Directory);
    if (dialog.exec() != QDialog::Accepted || g_showIsOver)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return;
    // The transfer queue reads the folder as UTF-8.
    SetSetting("download_folder", ToUtf8(chosen.first()));
    mp_ui->downloadFolderEdit->setText(chosen.first());
}
