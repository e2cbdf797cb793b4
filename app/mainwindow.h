#pragma once
// The main window: builds every manager and view in a fixed order at
// start-up, hosts the views, shows the connection state, keeps the options
// tab in step with the settings, saves the state file every five minutes and
// tears everything down in a fixed order when the program ends.

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <ctime>
#include <string>

#include "Data.h"
#include "EventToolBar.h"
#include "ShowState.h"
// The generated form: views and tests reach its widgets through Form().
#include "ui_mainwindow.h"

class DataDialog;
class QMoveEvent;
class QResizeEvent;
class QTreeWidgetItem;
class Server;

class MainWindow : public QMainWindow, public DataHandler, public ApplicationIconHost
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* ip_parent = nullptr);
    ~MainWindow() override;

    // Builds the managers, loads the state file, asks for credentials when
    // none are stored and connects. Called once, after the window is shown.
    void Init();

    // The resource path of an icon, set on the application and the window.
    void SetApplicationIcon(QString i_resource) override;
    // Back to the icon of the connection state.
    void ResetApplicationIcon() override;

    // The state file: the home directory + "/.Tavrinel", as the 8-bit path
    // the file system takes. Built anew at each use.
    static std::string StateFilePath();

    // The generated form, for the views and tests that look up its widgets.
    Ui_MainWindow* Form() const { return mp_ui; }

    // LATER (rooms): GetChatForm(std::string) and OpenChatForm(std::string),
    // once ChatForm exists.

public slots:
    void OnConnected();
    void OnConnecting();
    void OnDisconnected();
    void OnConnectMenuOptionClicked();
    void OnDisconnectMenuOptionClicked();
    void OnShowData();
    void OnRoomListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnToolBarActionTriggered(std::string i_action);
    void OnRoomListItemSelectionChanged();
    void OnFocusChanged(QWidget* ip_old, QWidget* ip_new);
    void OnPrivateChat(std::string i_user, std::string i_chat, time_t i_time, bool i_spontaneous);
    void OnChangeUsernamePasswordClicked();
    void OnConnectionFailed(std::string i_reason);
    void OnRoomTabClosed(int i_index);
    void OnChatTabClosed(int i_index);
    void OnSharedFilesRescanned(int i_filesAdded, int i_filesRemoved);
    void OnOptionsTabSelectionChanged(int i_tabIndex);
    void OnUPnPCheckboxToggled(bool i_toggled);
    void OnMinimizeToTrayCheckboxToggled(bool i_toggled);
    void OnExpandNewSharesCheckboxToggled(bool i_toggled);
    void EveryHalfMinute();
    void EveryFiveMinutes();
    void OnTrayIconActivated(QSystemTrayIcon::ActivationReason i_reason);

protected:
    void moveEvent(QMoveEvent* ip_event) override;
    void resizeEvent(QResizeEvent* ip_event) override;

private:
    // Store handlers.
    void OnRoomUserCountAdded(ConnectionInfo& i_info);
    void OnEnteredRoom(ConnectionInfo& i_info);
    void OnSharedFolderAdded(Item* ip_item);
    void OnSharedFolderRemoved(Item* ip_item);
    void OnSharedFolderChange(ConnectionInfo i_info);
    void OnUsernameChanged(Item* ip_item);
    void OnNewListeningPortChanged(Item* ip_item);

    void CreateTypes();
    void LoadState();
    // Writes the state file; a failure is logged and the client goes on.
    void SaveState();
    void FillOptionsTab();
    // The text of the "Accessible to" column for a shared folder.
    static QString SharedFolderAudience(Item* ip_folder);
    QTreeWidgetItem* FindSharedFolderRow(Item* ip_folder) const;

    Ui_MainWindow* mp_ui;
    // The data browser deletes itself when closed; the guard tells.
    QPointer<DataDialog> mp_dataDialog;
    Server* mp_server = nullptr;
    // LATER (geometry manager): m_sizeProxy, the window's ResizableWindow
    // adapter, here between the server and the tray icon.
    // Whether Init has built the managers the destructor tears down.
    bool m_initialised = false;
    QSystemTrayIcon m_trayIcon;
};

extern MainWindow* mainWindow;
