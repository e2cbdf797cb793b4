#include "ChangeUsernamePasswordDialog.h"

#include "ui_ChangeUsernamePasswordDialog.h"

#include "Data.h"
#include "FixedPlaces.h"
#include "TextConversion.h"

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool i_firstTime, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_ChangeUsernamePasswordDialog), m_firstTime(i_firstTime)
{
    mp_ui->setupUi(this);
    FitFixedPlaces(this);

    // Looking the keys up makes them, valueless, when nothing is stored yet.
    Type* keys = T("global");
    mp_ui->usernameEdit->setText(FromName(ItemPtr(keys->GetItem("username"))["global_value"].AsString()));
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

    // A name left as shown keeps its stored bytes: one stored by an earlier
    // build as one byte per character would otherwise log in as another user.
    const std::string stored = GetSetting("username");
    SetSetting("username", username == FromName(stored) ? stored : ToName(username));
    SetSetting("password", ToLatin1(password));

    // Deferred: this slot runs inside the button's signal, and the dialog's
    // own objects are still on the call stack.
    if (!m_firstTime)
        deleteLater();
}
