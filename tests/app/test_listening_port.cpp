// The listening-port dialog on its own: its form, which entries it refuses
// and why, what it stores, and that it goes away whether accepted or not.

#include "app/AppTestSupport.h"
#include "common/TestEnvironment.h"

#include "ChangeListeningPortDialog.h"
#include "Data.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

namespace
{
QLineEdit* PortEdit(QDialog* ip_dialog)
{
    return ip_dialog->findChild<QLineEdit*>("portEdit");
}

// The one box that pressing Ok brought up, and whether the dialog still
// showed while it was open.
struct Box
{
    int count = 0;
    QString title;
    QString text;
    bool dialogShown = false;
};

// Types the entry, presses Ok and answers the box with its Ok button.
Box Submit(QDialog* ip_dialog, const QString& i_entry)
{
    PortEdit(ip_dialog)->setText(i_entry);
    Box box;
    QPointer<QDialog> dialog(ip_dialog);
    ModalDriver modals;
    modals.Then([&box, dialog](QWidget* ip_widget) {
        auto* shown = qobject_cast<QMessageBox*>(ip_widget);
        if (!shown)
            return;
        box.title = shown->windowTitle();
        box.text = shown->text();
        box.dialogShown = dialog && dialog->isVisible();
        if (shown->standardButtons() == QMessageBox::Ok)
            shown->button(QMessageBox::Ok)->click();
    });
    ip_dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
    box.count = modals.Handled() + modals.Unexpected().size();
    DeleteDeferred();
    return box;
}
}

class ListeningPortTest : public QObject
{
    Q_OBJECT

private:
    QPointer<QWidget> mp_parent;

    // A dialog as the toolbar opens it: a child of a window, no modal loop.
    ChangeListeningPortDialog* Open()
    {
        auto* dialog = new ChangeListeningPortDialog(mp_parent);
        dialog->setVisible(true);
        return dialog;
    }

private slots:
    void init()
    {
        ResetSettingsTypes();
        SetSetting("listening_port", "2235");
        mp_parent = new QWidget;
    }

    void cleanup()
    {
        delete mp_parent;
        d->Reset();
    }

    void formAsBuilt()
    {
        ChangeListeningPortDialog dialog(mp_parent);
        QCOMPARE(dialog.objectName(), QString("ChangeListeningPortDialog"));
        QCOMPARE(dialog.windowTitle(), QString("Change Listening Port"));
        // Places as drawn; sizes at least as drawn, grown to the font.
        QCOMPARE(dialog.size().expandedTo(QSize(179, 76)), dialog.size());
        QVERIFY(!dialog.isModal());
        QVERIFY(dialog.layout() == nullptr);
        QVERIFY(dialog.findChildren<QLabel*>().isEmpty());

        auto* buttons = dialog.findChild<QDialogButtonBox*>("buttonBox");
        QVERIFY(buttons);
        QCOMPARE(buttons->pos(), QPoint(0, 40));
        QCOMPARE(buttons->size().expandedTo(QSize(171, 32)), buttons->size());
        QCOMPARE(buttons->orientation(), Qt::Horizontal);
        QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

        QLineEdit* edit = PortEdit(&dialog);
        QVERIFY(edit);
        QCOMPARE(edit->pos(), QPoint(10, 10));
        QCOMPARE(edit->size().expandedTo(QSize(161, 20)), edit->size());
        QCOMPARE(edit->maxLength(), 5);
        QCOMPARE(edit->inputMask(), QString("D9999"));
        // The port in use fills the field.
        QCOMPARE(edit->text(), QString("2235"));

        // Form order: the button box first, then the field.
        const QList<QWidget*> widgets = dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(widgets.size(), 2);
        QCOMPARE(widgets[0], static_cast<QWidget*>(buttons));
        QCOMPARE(widgets[1], static_cast<QWidget*>(edit));
    }

    void showsThePortInUseNotThePendingOne()
    {
        SetSetting("new_listening_port", "4000");
        ChangeListeningPortDialog shown(mp_parent);
        QCOMPARE(PortEdit(&shown)->text(), QString("2235"));

        ClearSetting("listening_port");
        ChangeListeningPortDialog empty(mp_parent);
        QCOMPARE(PortEdit(&empty)->text(), QString());
    }

    void refusedEntriesKeepTheDialogOpen_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        const QString invalid = "Invalid Port Number";
        const QString range = "Port number must be in the range of 1 to 65535.";
        QTest::newRow("empty") << "" << invalid << range;
        QTest::newRow("zero") << "0" << invalid << range;
        QTest::newRow("above the range") << "65536" << invalid << range;
        QTest::newRow("the port in use") << "2235" << "Port Number Not Changed" << "Port number has not been changed.";
    }

    void refusedEntriesKeepTheDialogOpen()
    {
        QFETCH(QString, entry);
        QFETCH(QString, title);
        QFETCH(QString, text);
        // A port chosen earlier stays pending whatever is refused now.
        SetSetting("new_listening_port", "4000");

        QPointer<ChangeListeningPortDialog> dialog = Open();
        const Box box = Submit(dialog, entry);
        QCOMPARE(box.count, 1);
        QCOMPARE(box.title, title);
        QCOMPARE(box.text, text);
        QVERIFY(box.dialogShown);
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(GetSetting("new_listening_port"), std::string("4000"));
        QCOMPARE(GetSetting("listening_port"), std::string("2235"));
        delete dialog;
    }

    void portsAtTheEdgesOfTheRangeAreStored_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("lowest") << "1";
        QTest::newRow("highest") << "65535";
        QTest::newRow("the pending port again") << "4000";
    }

    void portsAtTheEdgesOfTheRangeAreStored()
    {
        QFETCH(QString, entry);
        SetSetting("new_listening_port", "4000");
        QPointer<ChangeListeningPortDialog> dialog = Open();
        const Box box = Submit(dialog, entry);
        QCOMPARE(box.count, 1);
        QCOMPARE(box.title, QString("Change to Listening Port Pending"));
        QCOMPARE(box.text, QString("Changes to the listening port will take effect after a client restart."));
        // Closed before the user is told.
        QVERIFY(!box.dialogShown);
        QVERIFY(!dialog);
        QCOMPARE(GetSetting("new_listening_port"), entry.toStdString());
        QCOMPARE(GetSetting("listening_port"), std::string("2235"));
        // One pending value per key.
        QCOMPARE(int(T("global")->HasItem(std::string("new_listening_port"))->GetItems("global_value").size()), 1);
    }

    void cancelStoresNothingAndDeletesTheDialog()
    {
        ChangeListeningPortDialog* dialog = Open();
        QPointer<ChangeListeningPortDialog> guard(dialog);
        PortEdit(dialog)->setText("4100");
        dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
        DeleteDeferred();
        QVERIFY(!guard);
        QVERIFY(GetSetting("new_listening_port").empty());
        QVERIFY(mp_parent->findChildren<QDialog*>().isEmpty());
    }
};

QTEST_MAIN(ListeningPortTest)
#include "test_listening_port.moc"
