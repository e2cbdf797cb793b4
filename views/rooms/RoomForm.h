#pragma once
// The view of one joined room: its chat beside the list of its users. It
// lives in its tab from the server's confirmation of the joining until the
// room loses `in_room`, when it deletes itself and its tab goes with it.

#include <QWidget>

#include <string>

#include "Data.h"

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

    const std::string& RoomName() const { return m_room; }
    Ui_RoomForm* Form() const { return mp_ui; }

private:
    void OnLeftRoom(Item* ip_room);

    Ui_RoomForm* mp_ui;
    // The room's name as the server gives it.
    std::string m_room;
};
