#include "RoomForm.h"

#include "ui_RoomForm.h"

#include "ActionSetToolBar.h"
#include "ChatHistory.h"
#include "FocusFunctions.h"
#include "GeneralFunctions.h"
#include "NameCells.h"
#include "QRoomUserListItemWidget.h"
#include "SizeManager.h"
#include "TextConversion.h"
#include "UserMenuOptions.h"
#include "server.h"

#include <QHeaderView>
#include <QIcon>

#include <cmath>
#include <unordered_set>

RoomForm::RoomForm(std::string i_room, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_RoomForm), m_room(std::move(i_room))
{
    mp_ui->setupUi(this);
    mp_history = std::make_unique<ChatHistory>(mp_ui->chatView);
    connect(mp_ui->userList, &QTreeWidget::itemClicked, this, &RoomForm::OnUserItemClicked);
    connect(mp_ui->chatEdit, &QLineEdit::returnPressed, this, &RoomForm::OnEnterPressed);
    connect(mp_ui->userList, &QWidget::customContextMenuRequested, this, &RoomForm::OnUserListContextMenuRequested);

    QList<int> sizes = mp_ui->splitter->sizes();
    if (sizes.size() >= 2)
    {
        sizes[0] = 280;
        sizes[1] = 250;
        mp_ui->splitter->setSizes(sizes);
    }
    // The chat takes the extra width.
    mp_ui->splitter->setStretchFactor(0, 1);
    mp_ui->splitter->setStretchFactor(1, 0);

    const int widths[] = {20, 25, 90, 50, 40};
    for (int c = 0; c < 5; ++c)
        mp_ui->userList->setColumnWidth(c, widths[c]);
    mp_ui->userList->setHeaderLabels({QString(), QString(), tr("User"), tr("Files"), tr("K/s")});
    mp_ui->userList->sortByColumn(2, Qt::AscendingOrder);
    mp_ui->userList->header()->setStretchLastSection(true);

    Item* room = T("room")->GetItem(m_room);
    mp_speedType = T("average_download_speed");
    mp_filesType = T("shared_files_count");
    mp_countryType = T("country_code");

    // A user gets a row once in the room with all three statistics.
    PathNode* members = new PathNode(d, "user");
    new PathNode(members, room, ConnectedNotify);
    new PathNode(members, "average_download_speed", ConnectedNotify);
    new PathNode(members, "shared_files_count", ConnectedNotify);
    new PathNode(members, "country_code", ConnectedNotify);
    AddPathHandler(members, this, &RoomForm::OnUserAdded);

    PathNode* leaving = new PathNode(d, "user");
    new PathNode(leaving, room, NotifyOnDisconnect);
    AddPathHandler(leaving, this, &RoomForm::OnUserRemoved);

    if (gp_server)
        connect(gp_server, &Server::RoomChat, this, &RoomForm::OnRoomChat);

    PathNode* left = new PathNode(room);
    new PathNode(left, "in_room", NotifyOnDisconnect);
    AddPathHandler(left, this, &RoomForm::OnLeftRoom);

    if (actionBar)
    {
        actionBar->RegisterWidget(this, QStringLiteral("room"));
        // The toolbar carries the bytes whole, one character per byte.
        actionBar->AddWidgetKey(this, QStringLiteral("room"), FromLatin1(m_room));
    }
    SetAutojoinText(room->IsConnected("room_autojoin"));

    PathNode* autojoinOn = new PathNode(room);
    new PathNode(autojoinOn, "room_autojoin", NotifyOnConnect);
    AddPathHandler(autojoinOn, this, &RoomForm::OnRoomAutojoinOn);
    PathNode* autojoinOff = new PathNode(room);
    new PathNode(autojoinOff, "room_autojoin", NotifyOnDisconnect);
    AddPathHandler(autojoinOff, this, &RoomForm::OnRoomAutojoinOff);

    if (gp_server)
    {
        connect(gp_server, &Server::Connected, this, &RoomForm::OnConnected);
        connect(gp_server, &Server::Disconnected, this, &RoomForm::OnDisconnected);
    }
}

RoomForm::~RoomForm()
{
    DisableHandlers();
    // Rows not yet in the list have no other owner.
    for (QTreeWidgetItem* row : m_newRows)
        delete row;
    delete mp_ui;
}

void RoomForm::Init()
{
    if (sizeManager)
    {
        sizeManager->RegisterSplitter(QStringLiteral("room_splitter"), mp_ui->splitter, {});
        sizeManager->RegisterTreeWidget(QStringLiteral("room_user_list"), mp_ui->userList);
    }
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
}

void RoomForm::AddStatusMessage(std::string i_text)
{
    mp_history->AddStatus(StatusLineHtml(FromUtf8(i_text)));
}

// ---------------------------------------------------------------- users

void RoomForm::OnUserAdded(Item* ip_user)
{
    const std::string& name = ip_user->GetValue();
    QRoomUserListItemWidget*& row = m_rows[ip_user];
    // A row is made once, from the statistics the user has when it joins.
    if (row)
        return;

    // Filled before it joins the list, which takes the turn's new rows
    // together.
    row = new QRoomUserListItemWidget(nullptr);

    // The last column first, so the row's cells grow once.
    const double speed = ItemPtr(ip_user->GetItem(mp_speedType)).AsInt64() * (1.0 / 1024);
    if (speed != 0)
    {
        row->setText(4, QString::number(speed, 'f', 1));
        // Ordered by the number shown: tenths of KiB/s.
        row->setData(4, kRoomUserSortRole, qlonglong(std::llround(speed * 10)));
    }

    const long long files = ItemPtr(ip_user->GetItem(mp_filesType)).AsInt64();
    row->setText(3, CommafyNumber(files));
    row->setData(3, kRoomUserSortRole, files > 0 ? files : 0);

    row->SetName(name);

    const QString country = FromLatin1(ItemPtr(ip_user->GetItem(mp_countryType)).AsString());
    row->setData(1, kRoomUserSortRole, country);
    if (!country.isEmpty())
    {
        // Loaded once per country: reading an image per row is what makes
        // entering a busy room slow.
        QIcon& flag = m_flags[country];
        if (flag.isNull())
            flag = QIcon(QStringLiteral(":/resources/flags/") + country.toLower() + QStringLiteral(".png"));
        row->setIcon(1, flag);
    }
    m_newRows.push_back(row);
    ScheduleRowChanges();
}

void RoomForm::OnUserRemoved(Item* ip_user)
{
    const auto row = m_rows.find(ip_user);
    if (row == m_rows.end())
        return;
    m_leavingRows.push_back(row.value());
    m_rows.erase(row);
    ScheduleRowChanges();
}

void RoomForm::ScheduleRowChanges()
{
    if (m_rowChangesPending)
        return;
    m_rowChangesPending = true;
    QMetaObject::invokeMethod(this, &RoomForm::OnRowChanges, Qt::QueuedConnection);
}

void RoomForm::OnRowChanges()
{
    m_rowChangesPending = false;
    std::unordered_set<QTreeWidgetItem*> leaving(m_leavingRows.begin(), m_leavingRows.end());
    QList<QTreeWidgetItem*> added;
    for (QTreeWidgetItem* row : m_newRows)
    {
        // Joined and gone within the turn.
        if (leaving.erase(row))
            delete row;
        else
            added << row;
    }
    m_newRows.clear();
    m_leavingRows.clear();

    TreeWidget* list = mp_ui->userList;
    // A few rows are deleted where they are; many (the room entered again)
    // in one pass instead of one search of the list each, the current and
    // selected rows kept.
    const bool many = leaving.size() > 64;
    if (!many)
        for (QTreeWidgetItem* row : leaving)
            delete row;
    if (!many && added.isEmpty())
        return;
    // Filled unsorted, sorted once.
    list->setSortingEnabled(false);
    if (many)
        list->DeleteRows(std::vector<QTreeWidgetItem*>(leaving.begin(), leaving.end()));
    list->addTopLevelItems(added);
    list->setSortingEnabled(true);
}

// ---------------------------------------------------------------- the room

void RoomForm::OnLeftRoom(Item*)
{
    // Deferred: the store is still announcing the change. Nothing of the
    // room reaches the view any more.
    DisableHandlers();
    if (gp_server)
        disconnect(gp_server, nullptr, this, nullptr);
    deleteLater();
}

void RoomForm::OnRoomAutojoinOn(Item*)
{
    SetAutojoinText(true);
}

void RoomForm::OnRoomAutojoinOff(Item*)
{
    SetAutojoinText(false);
}

void RoomForm::SetAutojoinText(bool i_on)
{
    if (actionBar)
        actionBar->SetWidgetActionText(this, QStringLiteral("toggle_room_autojoin"),
                                       i_on ? QStringLiteral("Auto-Join Room [on]")
                                            : QStringLiteral("Auto-Join Room [off]"));
}

void RoomForm::OnConnected()
{
    AddStatusMessage("Reconnected.");
    if (gp_server)
        gp_server->EnterRoom(m_room);
}

void RoomForm::OnDisconnected()
{
    AddStatusMessage("Disconnected.");
}

// ---------------------------------------------------------------- chat

void RoomForm::OnRoomChat(std::string i_room, std::string i_user, std::string i_chat)
{
    if (i_room != m_room)
        return;
    mp_history->AddLine(ChatLineHtml(FromName(i_user), FromUtf8(i_chat)));
}

void RoomForm::OnEnterPressed()
{
    const QString text = mp_ui->chatEdit->text();
    if (text.isEmpty())
        return;
    // The connection would drop the line silently: keep it for a retry.
    if (!gp_server || !gp_server->IsConnected())
    {
        AddStatusMessage("Not connected: message not sent.");
        return;
    }
    gp_server->SendRoomChat(m_room, ToUtf8(text));
    mp_ui->chatEdit->clear();
}

void RoomForm::OnUserListContextMenuRequested(QPoint i_point)
{
    PopupUserMenu(mp_ui->userList, i_point, [](QTreeWidgetItem* ip_row) { return NameOfCell(ip_row, 2); });
}

void RoomForm::OnUserItemClicked(QTreeWidgetItem*, int) {}
