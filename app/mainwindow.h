#pragma once
// The main window: builds every manager and view in a fixed order at
// start-up, hosts the views, shows the connection state, keeps the options
// tab in step with the settings, saves the state file every five minutes
// and soon after a download or share changes, and tears everything down in
// a fixed order when the program ends.

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <ctime>
#include <string>
#include <unordered_map>

#include "Data.h"
#include "EventToolBar.h"
#include "ShowState.h"
#include "SizeManager.h"
// The generated form: views and tests reach its widgets through Form().
#include "ui_mainwindow.h"

class ChangeSaver;
class ChatForm;
class DataDialog;
class QMoveEvent;
class QResizeEvent;
class QTreeWidgetItem;
class Server;

class MainWindow : public QMainWindow, public DataHandler, public ApplicationIconHost
{
    Q_OBJECT

public:
    // The window's geometry for the geometry manager. Moves and resizes are
    // reported once they settle and only while the window is in its normal
    // state (a maximise may arrive after its resize); a restored geometry is
    // put onto the screens as they are now.
    class SizeProxy : public ResizableWindow
    {
    public:
        explicit SizeProxy(QWidget* ip_window);
        int GetX() override;
        int GetY() override;
        int GetWidth() override;
        int GetHeight() override;
        void SetPosition(int i_x, int i_y) override;
        void SetSize(int i_width, int i_height) override;
        bool HasPosition() override;

        void NoteMoved();
        void NoteResized();
        // Reports a pending change now.
        void Flush();

    private:
        void Apply(const QRect& i_geometry, bool i_shrink);
        QWidget* mp_window;
        QTimer m_settle;
        bool m_moved = false;
        bool m_resized = false;
    };

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

    // Whether the state file exists but could not be read. Init has then
    // told the user and stopped; the program ends without writing anything
    // over it or beside it.
    bool StateFileUnreadable() const { return m_stateFileUnreadable; }

    // The generated form, for the views and tests that look up its widgets.
    Ui_MainWindow* Form() const { return mp_ui; }

    // The user's private chat view, built and tabbed when missing; neither
    // the focus nor the shown tab changes.
    ChatForm* GetChatForm(std::string i_user);
    // The user's chat view, brought to the front with the focus.
    ChatForm* OpenChatForm(std::string i_user);

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

private slots:
    // Shows the counts a room list changed, once per list.
    void OnRoomCountsChanged();

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
    // The main window's action sets on the context toolbar and the widgets
    // bound to them.
    void AddToolBarActions();
    void UnshareSelectedFolders();
    void ChooseDownloadFolder();
    // False when the file could not be read: nothing may be saved then.
    bool LoadState();
    // Writes the state file; a failure is logged and the client goes on.
    void SaveState();
    void FillOptionsTab();
    // The text of the "Accessible to" column for a shared folder.
    static QString SharedFolderAudience(Item* ip_folder);
    // Each shared-folder row keeps its folder's exact bytes in Qt::UserRole
    // (a QByteArray); rows are found by those, never by the shown text.
    QTreeWidgetItem* FindSharedFolderRow(Item* ip_folder) const;

    Ui_MainWindow* mp_ui;
    // The data browser deletes itself when closed; the guard tells.
    QPointer<DataDialog> mp_dataDialog;
    Server* mp_server = nullptr;
    SizeProxy m_sizeProxy;
    // Room name to its row of the room list; rows live as long as the list.
    std::unordered_map<std::string, QTreeWidgetItem*> m_roomRows;
    // Saves soon after a change to the download list or the shares.
    ChangeSaver* mp_changeSaver = nullptr;
    // Whether Init has built the managers the destructor tears down.
    bool m_initialised = false;
    bool m_stateFileUnreadable = false;
    QSystemTrayIcon m_trayIcon;
};

extern MainWindow* mainWindow;
