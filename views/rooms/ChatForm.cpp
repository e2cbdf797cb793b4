#include "ChatForm.h"

#include "ui_ChatForm.h"

#include "Data.h"
#include "FocusFunctions.h"
#include "GeneralFunctions.h"
#include "TextConversion.h"

namespace
{
const char* const kLink = "user_chat_widget";
}

ChatForm::ChatForm(std::string i_user, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_ChatForm), m_user(std::move(i_user))
{
    mp_ui->setupUi(this);
    ItemPtr(T("user")->GetItem(m_user)) += T(kLink)->GetItem(Value(this));
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
    // LATER (private chat view): sending on Enter, the event entry removed
    // when shown.
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
    // Names and texts are escaped byte for byte, then the line is read as
    // UTF-8, so the UTF-8 of both shows as written.
    const QString line = QStringLiteral("[<font color=\"blue\">") + EscapeHTML(FromLatin1(m_user)) +
                         QStringLiteral("</font>] ") + EscapeHTML(FromLatin1(i_text));
    mp_ui->chatView->append(ConvertLinks(FromUtf8(ToLatin1(line))));
    // LATER (private chat view): the pending event on the event toolbar.
}

void ChatForm::Focus()
{
    FocusWidget(mp_ui->chatEdit);
}
