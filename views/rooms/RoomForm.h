#pragma once
// The view of one joined room: its chat beside the list of its users. It
// lives in its tab from the server's confirmation of the joining until the
// room loses `in_room`, when it deletes itself and its tab goes with it.
// The users and their statistics are followed in the store; chat lines come
// from the server connection, the own lines included (nothing is echoed).

#include <QHash>
#include <QIcon>
#include <QPoint>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "Data.h"

class ChatHistory;
class QRoomUserListItemWidget;
class QTreeWidgetItem;
class Ui_RoomForm;

class RoomForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    RoomForm(std::string i_room, QWidget* ip_parent = nullptr);
    ~RoomForm() override;

    // Registers the splitter and the user list with the geometry manager;
    // called once, right after the view is tabbed.
    void Init();

    // Appends a status line to the chat.
    void AddStatusMessage(std::string i_text);

    const std::string& RoomName() const { return m_room; }
    Ui_RoomForm* Form() const { return mp_ui; }
    const ChatHistory& History() const { return *mp_history; }

public slots:
    void OnRoomChat(std::string i_room, std::string i_user, std::string i_chat);
    void OnEnterPressed();
    void OnConnected();
    void OnDisconnected();
    void OnUserListContextMenuRequested(QPoint i_point);
    void OnUserItemClicked(QTreeWidgetItem* ip_item, int i_column);

private:
    void OnUserAdded(Item* ip_user);
    void OnUserRemoved(Item* ip_user);
    void OnLeftRoom(Item* ip_room);
    void OnRoomAutojoinOn(Item* ip_room);
    void OnRoomAutojoinOff(Item* ip_room);
    void SetAutojoinText(bool i_on);
    // The list takes the rows that came and went in one event-loop turn
    // together, at the end of the turn.
    void ScheduleRowChanges();
    void OnRowChanges();

    Ui_RoomForm* mp_ui;
    // The room's name as the server gives it.
    std::string m_room;
    std::unique_ptr<ChatHistory> mp_history;
    // The user list's rows by user item (one per name); a busy room is
    // entered without searching the list for every user, and without a copy
    // of each name. The keys are only compared, never followed.
    QHash<const Item*, QRoomUserListItemWidget*> m_rows;
    // The statistics a row shows, named once rather than per user.
    Type* mp_speedType = nullptr;
    Type* mp_filesType = nullptr;
    Type* mp_countryType = nullptr;
    // Flag icons by country code.
    QHash<QString, QIcon> m_flags;
    // Rows made and rows to go since the list last took its changes.
    std::vector<QTreeWidgetItem*> m_newRows;
    std::vector<QTreeWidgetItem*> m_leavingRows;
    bool m_rowChangesPending = false;
};
