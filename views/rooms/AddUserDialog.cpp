#include "AddUserDialog.h"

#include "ui_AddUserDialog.h"

#include "StoreLookup.h"
#include "TextConversion.h"
#include "server.h"

namespace
{
const char* const kOffline = "Must be online to add a user to your list.";
}

AddUserDialog::AddUserDialog(QWidget* ip_parent) : QDialog(ip_parent), mp_ui(new Ui_AddUserDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(mp_ui->addFriendButton, &QPushButton::clicked, this, &AddUserDialog::OnAddUserClicked);
    if (gp_server)
    {
        connect(gp_server, &Server::AddUserResponse, this, &AddUserDialog::OnAddUserResponse);
        connect(gp_server, &Server::Disconnected, this, &AddUserDialog::OnDisconnected);
    }
}

AddUserDialog::~AddUserDialog()
{
    delete mp_ui;
}

void AddUserDialog::SetWaiting(bool i_waiting)
{
    mp_ui->userNameEdit->setReadOnly(i_waiting);
    mp_ui->addFriendButton->setEnabled(!i_waiting);
}

void AddUserDialog::OnAddUserClicked()
{
    const std::string name = ToName(mp_ui->userNameEdit->text().trimmed());
    if (name.empty())
    {
        mp_ui->statusEdit->setText(QStringLiteral("User name must not be empty."));
        return;
    }
    if (!gp_server || !gp_server->IsConnected())
    {
        mp_ui->statusEdit->setText(QString::fromLatin1(kOffline));
        return;
    }
    if (FindItem("user", name).IsConnected("in_user_list"))
    {
        mp_ui->statusEdit->setText(QStringLiteral("User already in list."));
        return;
    }
    mp_ui->statusEdit->setText(QStringLiteral("Adding user..."));
    SetWaiting(true);
    m_pendingUser = name;
    gp_server->AddUser(name);
}

void AddUserDialog::OnAddUserResponse(std::string i_user, bool i_exists)
{
    if (m_pendingUser.empty() || i_user != m_pendingUser)
        return;
    SetWaiting(false);
    m_pendingUser.clear();
    if (!i_exists)
    {
        mp_ui->statusEdit->setText(QStringLiteral("User name does not exist."));
        return;
    }
    // Another dialog may have listed the user on the same answer: the entry
    // is reused then.
    GetItem("user", i_user).NewItem("in_user_list");
    mp_ui->statusEdit->setText(QStringLiteral("User added to list."));
}

void AddUserDialog::OnDisconnected()
{
    if (m_pendingUser.empty())
        return;
    SetWaiting(false);
    m_pendingUser.clear();
    mp_ui->statusEdit->setText(QString::fromLatin1(kOffline));
}
