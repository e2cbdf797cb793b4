// The credentials dialog on its own: what it shows, what it stores, when it
// stays open and when it goes.

#include "app/AppTestSupport.h"
#include "common/TestEnvironment.h"

#include "ChangeUsernamePasswordDialog.h"
#include "Data.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

class CredentialsTest : public QObject
{
    Q_OBJECT

private:
    static QLineEdit* Field(QDialog* ip_dialog, const char* ip_name)
    {
        return ip_dialog->findChild<QLineEdit*>(ip_name);
    }

    static void Press(QDialog* ip_dialog, QDialogButtonBox::StandardButton i_button)
    {
        ip_dialog->findChild<QDialogButtonBox*>("buttonBox")->button(i_button)->click();
    }

    static void Fill(QDialog* ip_dialog, const QString& i_user, const QString& i_password)
    {
        Field(ip_dialog, "usernameEdit")->setText(i_user);
        Field(ip_dialog, "passwordEdit")->setText(i_password);
    }

private slots:
    void init()
    {
        ResetSettingsTypes();
    }

    void opensEmptyAndMakesValuelessKeys()
    {
        ChangeUsernamePasswordDialog dialog(false, nullptr);
        QCOMPARE(dialog.windowTitle(), QString("Change Username/Password"));
        QCOMPARE(Field(&dialog, "usernameEdit")->text(), QString());
        QCOMPARE(Field(&dialog, "passwordEdit")->text(), QString());
        QCOMPARE(Field(&dialog, "passwordEdit")->echoMode(), QLineEdit::Normal);
        QVERIFY(T("global")->HasItem("username"));
        QVERIFY(T("global")->HasItem("password"));
        QVERIFY(!ItemPtr(T("global")->HasItem("username")).IsConnected("global_value"));
        // As drawn, or grown to the font.
        QCOMPARE(dialog.size().expandedTo(QSize(303, 120)), dialog.size());
    }

    void showsStoredLatin1Values()
    {
        SetSetting("username", "J\xF6rg");
        SetSetting("password", "p\xE4ss");
        ChangeUsernamePasswordDialog dialog(true, nullptr);
        QCOMPARE(dialog.windowTitle(), QString("Set Username/Password"));
        QCOMPARE(Field(&dialog, "usernameEdit")->text(), QString("Jörg"));
        QCOMPARE(Field(&dialog, "passwordEdit")->text(), QString("päss"));
        // Left as shown, the name keeps its bytes: it is still the same login.
        Press(&dialog, QDialogButtonBox::Ok);
        QCOMPARE(GetSetting("username"), std::string("J\xF6rg"));
    }

    void storesTrimmedValuesTheNameAsUtf8()
    {
        ChangeUsernamePasswordDialog dialog(true, nullptr);
        Fill(&dialog, "  Jörg von Berg\t", " secret word ");
        Press(&dialog, QDialogButtonBox::Ok);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(GetSetting("username"), std::string("J\xC3\xB6rg von Berg"));
        QCOMPARE(GetSetting("password"), std::string("secret word"));
    }

    void emptyFieldsKeepTheDialogOpen_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("no user name") << "" << "pw";
        QTest::newRow("user name of spaces") << "   " << "pw";
        QTest::newRow("no password") << "bob" << "";
        QTest::newRow("password of spaces") << "bob" << " \t ";
        QTest::newRow("both empty") << "" << "";
    }

    void emptyFieldsKeepTheDialogOpen()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        SetSetting("username", "old");
        auto* dialog = new ChangeUsernamePasswordDialog(false, nullptr);
        QPointer<ChangeUsernamePasswordDialog> guard(dialog);
        dialog->show();
        Fill(dialog, user, password);
        Press(dialog, QDialogButtonBox::Ok);
        DeleteDeferred();
        QVERIFY(guard);
        QVERIFY(dialog->isVisible());
        QCOMPARE(GetSetting("username"), std::string("old"));
        QVERIFY(GetSetting("password").empty());
        delete dialog;
    }

    void dialogOnRequestDeletesItselfWhenAccepted()
    {
        QWidget parent;
        auto* dialog = new ChangeUsernamePasswordDialog(false, &parent);
        QPointer<ChangeUsernamePasswordDialog> guard(dialog);
        dialog->setVisible(true);
        Fill(dialog, "carol", "pw");
        Press(dialog, QDialogButtonBox::Ok);
        QCOMPARE(GetSetting("username"), std::string("carol"));
        DeleteDeferred();
        QVERIFY(!guard);
    }

    void cancelStoresNothingAndOnlyHides()
    {
        SetSetting("username", "old");
        QWidget parent;
        auto* dialog = new ChangeUsernamePasswordDialog(false, &parent);
        QPointer<ChangeUsernamePasswordDialog> guard(dialog);
        dialog->setVisible(true);
        Fill(dialog, "new", "pw");
        Press(dialog, QDialogButtonBox::Cancel);
        DeleteDeferred();
        QVERIFY(guard);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(GetSetting("username"), std::string("old"));
    }

    void firstTimeDialogBelongsToItsCaller()
    {
        ModalDriver modals;
        modals.Then([](QWidget* ip_widget) {
            auto* dialog = qobject_cast<QDialog*>(ip_widget);
            Fill(dialog, "dave", "pw");
            Press(dialog, QDialogButtonBox::Ok);
        });
        auto* dialog = new ChangeUsernamePasswordDialog(true, nullptr);
        QPointer<ChangeUsernamePasswordDialog> guard(dialog);
        QCOMPARE(dialog->exec(), int(QDialog::Accepted));
        DeleteDeferred();
        QVERIFY(guard);
        QCOMPARE(GetSetting("username"), std::string("dave"));
        delete dialog;
    }
};

QTEST_MAIN(CredentialsTest)
#include "test_credentials.moc"
