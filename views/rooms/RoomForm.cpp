#include "RoomForm.h"

#include "ui_RoomForm.h"

#include "FocusFunctions.h"
#include "SizeManager.h"

#include <QHeaderView>

RoomForm::RoomForm(std::string i_room, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_RoomForm), m_room(std::move(i_room))
{
    mp_ui->setupUi(this);

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

    // LATER (room view): the user rows, the room's chat, the action set
    // "room" with its key and auto-join text, the connection state.

    PathNode* root = new PathNode(T("room")->GetItem(m_room));
    new PathNode(root, "in_room", NotifyOnDisconnect);
    AddPathHandler(root, this, &RoomForm::OnLeftRoom);
}

RoomForm::~RoomForm()
{
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

void RoomForm::OnLeftRoom(Item*)
{
    // Deferred: the store is still announcing the change.
    deleteLater();
}
