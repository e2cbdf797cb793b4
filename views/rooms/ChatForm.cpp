#include "ChatForm.h"

#include "ui_ChatForm.h"

#include "ChatHistory.h"
#include "Data.h"
#include "EventToolBar.h"
#include "FocusFunctions.h"
#include "GeneralFunctions.h"
#include "TextConversion.h"
#include "server.h"

namespace
{
const char* const kLink = "user_chat_widget";
}

ChatForm::ChatForm(std::string i_user, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_ChatForm), m_user(std::move(i_user))
{
    mp_ui->setupUi(this);
    mp_history = std::make_unique<ChatHistory>(mp_ui->chatView);
    connect(mp_ui->chatEdit, &QLineEdit::returnPressed, this, &ChatForm::OnEnter);
    ItemPtr(T("user")->GetItem(m_user)) += T(kLink)->GetItem(Value(this));
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
}

ChatForm::~ChatForm()
{
    delete mp_ui;
    mp_ui = nullptr;
    // The main window may have removed the item already (tab closed).
    if (Type* link = d->HasType(kLink))
        if (Item* item = link->HasItem(Value(this)))
            item->Remove();
}

void ChatForm::AddChat(std::string i_text)
{
    mp_history->AddLine(ChatLineHtml(FromName(m_user), FromUtf8(i_text)));
    if (eventToolBar)
        eventToolBar->AddEvent(FromName(m_user), QStringLiteral(":/icons/chat_icon"), mp_ui->chatEdit);
}

void ChatForm::Focus()
{
    FocusWidget(mp_ui->chatEdit);
}

void ChatForm::OnEnter()
{
    const QString text = mp_ui->chatEdit->text();
    if (text.isEmpty())
        return;
    // The connection would drop the message silently: keep it for a retry
    // and show nothing as sent.
    if (!gp_server || !gp_server->IsConnected())
    {
        mp_history->AddStatus(StatusLineHtml(QStringLiteral("Not connected: message not sent.")));
        return;
    }
    mp_history->AddLine(ChatLineHtml(FromName(GetSetting("username")), text));
    gp_server->SendPrivateChat(m_user, ToUtf8(text));
    mp_ui->chatEdit->clear();
}

void ChatForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvent(mp_ui->chatEdit);
}
