#include "ChangeUsernamePasswordDialog.h"

#include "ui_ChangeUsernamePasswordDialog.h"

#include "Data.h"
#include "TextConversion.h"

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool i_firstTime, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_ChangeUsernamePasswordDialog), m_firstTime(i_firstTime)
{
    mp_ui->setupUi(this);

    // Looking the keys up makes them, valueless, when nothing is stored yet.
    Type* keys = T("global");
    mp_ui->usernameEdit->setText(FromLatin1(ItemPtr(keys->GetItem("username"))["global_value"].AsString()));
    mp_ui->passwordEdit->setText(FromLatin1(ItemPtr(keys->GetItem("password"))["global_value"].AsString()));

    if (m_firstTime)
        setWindowTitle(tr("Set Username/Password"));
    activateWindow();
}

ChangeUsernamePasswordDialog::~ChangeUsernamePasswordDialog()
{
    delete mp_ui;
}

void ChangeUsernamePasswordDialog::accept()
{
    const QString username = mp_ui->usernameEdit->text().trimmed();
    const QString password = mp_ui->passwordEdit->text().trimmed();
    if (username.isEmpty() || password.isEmpty())
        return;

    QDialog::accept();

    SetSetting("username", ToLatin1(username));
    SetSetting("password", ToLatin1(password));

    // Deferred: this slot runs inside the button's signal, and the dialog's
    // own objects are still on the call stack.
    if (!m_firstTime)
        deleteLater();
}
