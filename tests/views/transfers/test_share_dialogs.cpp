// The add-shared-folder dialog's choices and what OK records, and the
// rescan report the main window opens.

#include "transfers/TransferTestSupport.h"
#include "views/widgets/WidgetTestSupport.h"

#include "AddSharedFolderDialog.h"
#include "SharedFilesRescannedDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

using namespace transfertest;

class TestShareDialogs : public QObject
{
    Q_OBJECT

    QueueFixture m_queue;
    QPointer<AddSharedFolderDialog> mp_dialog;

    QCheckBox* Everyone() const { return mp_dialog->findChild<QCheckBox*>("everyoneCheckBox"); }
    QCheckBox* UserList() const { return mp_dialog->findChild<QCheckBox*>("userListCheckBox"); }
    QListWidget* Groups() const { return mp_dialog->findChild<QListWidget*>("groupsListWidget"); }

    void Open()
    {
        mp_dialog = new AddSharedFolderDialog;
        mp_dialog->setVisible(true);
    }
    void Ok() { mp_dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }
    static QStringList GroupsOf(ItemPtr i_folder)
    {
        QStringList names;
        for (Item* group : i_folder.GetItems("user_list_group"))
            names << QString::fromStdString(group->GetValue());
        return names;
    }

private slots:
    void init()
    {
        m_queue.Start();
        for (const char* name : {"zeta", "alpha", "mid"})
            T("user_list_group")->NewItem(Value(name));
    }
    void cleanup()
    {
        delete mp_dialog;
        RunDeferredDeletes();
        m_queue.TearDown();
    }

    void enablingRules()
    {
        Open();
        QVERIFY(Everyone()->isChecked());
        QVERIFY(UserList()->isChecked() && !UserList()->isEnabled());
        QVERIFY(!Groups()->isEnabled());
        QCOMPARE(Groups()->count(), 3);
        QCOMPARE(Groups()->item(0)->text(), QStringLiteral("alpha"));
        QCOMPARE(Groups()->item(2)->text(), QStringLiteral("zeta"));
        QCOMPARE(Groups()->item(0)->checkState(), Qt::Unchecked);

        Everyone()->setChecked(false);
        QVERIFY(UserList()->isEnabled() && UserList()->isChecked());
        QVERIFY(!Groups()->isEnabled());
        UserList()->setChecked(false);
        QVERIFY(Groups()->isEnabled());
        Everyone()->setChecked(true);
        QVERIFY(UserList()->isChecked() && !UserList()->isEnabled());
        QVERIFY(!Groups()->isEnabled());

        // OK without a folder keeps the dialog and writes nothing.
        Ok();
        QVERIFY(mp_dialog && mp_dialog->isVisible());
        QCOMPARE(T("shared_folder")->ItemCount(), size_t(0));
    }

    void okRecordsExactlyTheChosenAudience()
    {
        const std::string path = m_queue.m_dir.path().toStdString();
        Open();
        mp_dialog->SetSelectedFolder(m_queue.m_dir.path());
        Ok();
        RunDeferredDeletes();
        QVERIFY(!mp_dialog);
        ItemPtr folder = T("shared_folder")->HasItem(path);
        QVERIFY(folder);
        QVERIFY(folder.IsConnected("shared_public"));

        // Narrowed to one group: public no more, only that group.
        Open();
        mp_dialog->SetSelectedFolder(m_queue.m_dir.path());
        Everyone()->setChecked(false);
        UserList()->setChecked(false);
        Groups()->item(1)->setCheckState(Qt::Checked);   // mid
        Groups()->item(2)->setCheckState(Qt::Checked);   // zeta
        // Removed while the dialog was open: skipped, not made again.
        T("user_list_group")->HasItem("zeta")->Remove();
        Ok();
        RunDeferredDeletes();
        QVERIFY(!folder.IsConnected("shared_public"));
        QVERIFY(!folder.IsConnected("shared_userlist"));
        QCOMPARE(GroupsOf(folder), QStringList{"mid"});
        QVERIFY(!T("user_list_group")->HasItem("zeta"));
        QCOMPARE(T("shared_folder")->ItemCount(), size_t(1));

        // The user list replaces the group, whichever spelling names the
        // folder.
        Open();
        mp_dialog->SetSelectedFolder(m_queue.m_dir.path() + "//");
        Everyone()->setChecked(false);
        Ok();
        RunDeferredDeletes();
        QVERIFY(folder.IsConnected("shared_userlist"));
        QVERIFY(GroupsOf(folder).isEmpty());
        QCOMPARE(T("shared_folder")->ItemCount(), size_t(1));
    }

    void rescanReport()
    {
        QPointer<SharedFilesRescannedDialog> report = new SharedFilesRescannedDialog;
        report->Append(QStringLiteral("0 files added."));
        report->Append(QStringLiteral("1 files removed."));
        QCOMPARE(report->Text(), QStringLiteral("0 files added.\n1 files removed."));
        report->setVisible(true);
        report->close();
        RunDeferredDeletes();
        QVERIFY(!report);
    }
};

QTEST_MAIN(TestShareDialogs)
#include "test_share_dialogs.moc"
