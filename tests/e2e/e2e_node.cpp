// One whole client for the end-to-end tests: the real window, started as
// the program starts it (MainWindow::Init with every manager and view), in
// the HOME the test gave it, offscreen. The test prepares its state file;
// lines on standard input then act as a user would, on the window's
// widgets, and ask what the window shows. Each command prints one line.
//   ONLINE                     ONLINE yes|no   whether the window shows the
//                              login done (its Disconnect action enabled)
//   ROOMS                      ROOMS <row>|<row>...   the room list
//   REFRESH_ROOMS              the "Refresh Room List" action
//   JOIN <room>                double-clicks the room's row
//   SAYROOM <room> <text>      types the text into the room's chat line
//   ROOMTEXT <room>            ROOMTEXT <chat shown, lines joined by |>,
//                              NO_ROOM_VIEW while the room has no view
//   MSG <user> <text>          opens the private chat and types the text
//   CHATTEXT <user>            CHATTEXT <chat shown, lines joined by |>,
//                              NO_CHAT_VIEW while the user has none
//   SHARE <path>               shares the folder with everyone through the
//                              options tab's "Share Folder" action, the
//                              add-shared-folder dialog and its folder chooser
//   SHARED                     SHARED <shared file count>
//   SEARCH <text>              types the text into the search line
//   RESULTS                    RESULTS <row>;<row>... every file row of
//                              every results tab, cells joined by |
//   OPEN <text>                double-clicks the first result row one of
//                              whose cells ends with the text, or, for a
//                              folder (shown innermost first), starts with
//                              the text and a slash
//   BROWSE <user>              "Browse user's files" from the context menu of
//                              the user's row in a results tab
//   BROWSED <user>             BROWSED <folder>;<folder>... the browse tab's
//                              folder rows as paths joined by /; NO_BROWSE_VIEW
//                              while the user has no browse tab
//   BROWSEFILES <user> <path>  clicks the folder row whose path ends with the
//                              text; BROWSEFILES <file>|<size>;... its file rows
//   BROWSEGET <user> <path>    clicks that folder row and the toolbar's
//                              "Download Folder"
//   BROWSEAWAY <user>          "Browse user's files" from the user's row in
//                              the download list, which is clicked again at
//                              once: the browse tab is hidden when the list comes
//   EVENTS                     EVENTS <text>|<text>... the event toolbar's buttons
//   SLOTS <n>                  sets the upload slots in the transfers view
//   LIMIT <KiB/s>              sets and switches on the upload speed limit
//                              there; 0 switches it off
//   DOWNLOADS                  DOWNLOADS <row>;<row>... every download
//                              entry row: file|status|place in line
// Every command answers "OK <command>" unless it prints a line of its own,
// "ERROR <why>" when it cannot be done. Closing standard input quits the
// program through the window's own teardown, which saves the state file.

#include "ActionSetToolBar.h"
#include "AddSharedFolderDialog.h"
#include "ChatForm.h"
#include "Data.h"
#include "EventToolBar.h"
#include "GeneralFunctions.h"
#include "RoomForm.h"
#include "SearchResultsForm.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "TextConversion.h"
#include "mainwindow.h"
#include "peers/NodeMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QTimer>

namespace
{
using nodemain::Print;

QByteArray OneLine(QString i_text)
{
    return i_text.replace('\n', '|').toUtf8();
}

// Types the text into the line and presses Return, as at the keyboard.
void Type(QLineEdit* ip_edit, const QString& i_text)
{
    ip_edit->setFocus();
    ip_edit->setText(i_text);
    QTest::keyClick(ip_edit, Qt::Key_Return);
}

RoomForm* FindRoom(MainWindow& i_window, const QByteArray& i_room)
{
    for (RoomForm* room : i_window.findChildren<RoomForm*>())
        if (room->RoomName() == i_room.toStdString())
            return room;
    return nullptr;
}

ChatForm* FindChat(MainWindow& i_window, const QByteArray& i_user)
{
    for (ChatForm* chat : i_window.findChildren<ChatForm*>())
        if (chat->User() == i_user.toStdString())
            return chat;
    return nullptr;
}

void CollectFileRows(QTreeWidgetItem* ip_row, QStringList& o_rows)
{
    if (ip_row->childCount() == 0)
    {
        QStringList cells;
        for (QTreeWidgetItem* row = ip_row; row; row = row->parent())
            for (int c = row->columnCount() - 1; c >= 0; --c)
                if (!row->text(c).isEmpty())
                    cells.prepend(row->text(c));
        o_rows << cells.join('|');
    }
    for (int k = 0; k < ip_row->childCount(); ++k)
        CollectFileRows(ip_row->child(k), o_rows);
}

// The rest of the line after the first i_words words.
QByteArray Rest(const QByteArray& i_line, int i_words)
{
    int at = 0;
    for (int k = 0; k < i_words && at >= 0; ++k)
    {
        at = int(i_line.indexOf(' ', at));
        if (at >= 0)
            ++at;
    }
    return at < 0 ? QByteArray() : i_line.mid(at);
}

// The shown toolbar action with that text, as a click on it.
bool ClickToolBarAction(const QString& i_text)
{
    for (QAction* action : actionBar->actions())
        if (action->text() == i_text && action->isVisible() && action->isEnabled())
        {
            action->trigger();
            return true;
        }
    return false;
}

// Gives the widget the keyboard focus as a click would, its tab pages
// brought to the front first.
bool FocusAsClicked(QWidget* ip_widget)
{
    FocusWidgetAndParents(ip_widget);
    ip_widget->setFocus(Qt::MouseFocusReason);
    return QApplication::focusWidget() == ip_widget;
}

// "Share Folder" in the options tab, the folder picked in the dialog's
// chooser, then OK; "" or why it failed.
QByteArray ShareThroughDialog(Ui_MainWindow* ip_ui, const QString& i_folder)
{
    if (!FocusAsClicked(ip_ui->sharedFoldersList))
        return "the shared folders list takes no focus";
    if (!ClickToolBarAction("Share Folder"))
        return "no Share Folder action in the toolbar";
    auto* dialog = ip_ui->sharedFoldersList->window()->findChild<AddSharedFolderDialog*>();
    if (!dialog || !dialog->isVisible())
        return "no add-shared-folder dialog";
    // The chooser runs its own loop: the folder is picked from inside it.
    QTimer::singleShot(0, dialog, [i_folder] {
        auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!chooser)
        {
            // Whatever opened instead must not hold the driver in its loop.
            if (QWidget* other = QApplication::activeModalWidget())
                other->close();
            return;
        }
        chooser->setDirectory(QFileInfo(i_folder).path());
        chooser->selectFile(i_folder);
        QMetaObject::invokeMethod(chooser, "accept");
    });
    QTest::mouseClick(dialog->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    auto* edit = dialog->findChild<QLineEdit*>("selectedFolderEdit");
    if (QFileInfo(edit->text()) != QFileInfo(i_folder))
    {
        const QByteArray shown = edit->text().toUtf8();
        dialog->close();
        return "the folder chooser gave '" + shown + "'";
    }
    if (!dialog->findChild<QCheckBox*>("everyoneCheckBox")->isChecked())
        return "the dialog does not share with everyone";
    QPushButton* ok = dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok);
    QTest::mouseClick(ok, Qt::LeftButton);
    return QByteArray();
}

// The user's row in a results tab, that tab brought to the front.
QTreeWidgetItem* ResultUserRow(Ui_MainWindow* ip_ui, const QString& i_user)
{
    for (SearchResultsForm* tab : ip_ui->searchForm->findChildren<SearchResultsForm*>())
    {
        QTreeWidget* tree = tab->searchResults();
        for (int k = 0; k < tree->topLevelItemCount(); ++k)
            if (tree->topLevelItem(k)->text(0) == i_user)
            {
                FocusWidgetAndParents(tree);
                return tree->topLevelItem(k);
            }
    }
    return nullptr;
}

// The right click on the row and the choice of the menu entry; "" or why
// it failed.
QByteArray ChooseFromContextMenu(QTreeWidgetItem* ip_row, const QString& i_entry)
{
    QTreeWidget* tree = ip_row->treeWidget();
    tree->scrollToItem(ip_row);
    const QPoint at = tree->visualItemRect(ip_row).center();
    emit tree->customContextMenuRequested(at);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu)
        return "no context menu opened";
    for (QAction* action : menu->actions())
        if (action->text() == i_entry)
        {
            menu->close();
            action->trigger();
            return QByteArray();
        }
    menu->close();
    return "no menu entry " + i_entry.toUtf8();
}

ShareForm* FindBrowse(const QByteArray& i_user)
{
    for (ShareForm* view : sharesForm->findChildren<ShareForm*>())
        if (view->User() == i_user.toStdString())
            return view;
    return nullptr;
}

QString RowPath(QTreeWidgetItem* ip_row)
{
    QString path = ip_row->text(0);
    for (QTreeWidgetItem* row = ip_row->parent(); row; row = row->parent())
        path = row->text(0) + '/' + path;
    return path;
}

// The folder row whose path is the text or ends with "/" and the text.
QTreeWidgetItem* FindFolderRow(ShareForm* ip_view, const QString& i_path)
{
    for (QTreeWidgetItemIterator it(ip_view->FolderTree()); *it; ++it)
    {
        const QString path = RowPath(*it);
        if (path == i_path || path.endsWith('/' + i_path))
            return *it;
    }
    return nullptr;
}

// Clicks the folder row, as the user chooses a folder in the tree.
bool ClickFolderRow(ShareForm* ip_view, QTreeWidgetItem* ip_row)
{
    QTreeWidget* tree = ip_view->FolderTree();
    if (!FocusAsClicked(tree))
        return false;
    tree->scrollToItem(ip_row);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, tree->visualItemRect(ip_row).center());
    return tree->currentItem() == ip_row && ip_row->isSelected();
}

void Run(MainWindow& i_window, const QByteArray& i_line)
{
    const QList<QByteArray> words = i_line.split(' ');
    const QByteArray& command = words[0];
    Ui_MainWindow* ui = i_window.Form();
    if (command == "ONLINE")
        return Print(ui->action_Disconnect->isEnabled() ? "ONLINE yes" : "ONLINE no");
    if (command == "ROOMS")
    {
        QStringList rows;
        for (int k = 0; k < ui->roomList->topLevelItemCount(); ++k)
            rows << ui->roomList->topLevelItem(k)->text(0);
        Print("ROOMS " + rows.join('|').toUtf8());
        return;
    }
    if (command == "REFRESH_ROOMS")
        i_window.OnToolBarActionTriggered("refresh_room_list");
    else if (command == "JOIN" && words.size() == 2)
    {
        const auto rows = ui->roomList->findItems(QString::fromUtf8(words[1]), Qt::MatchExactly, 0);
        if (rows.size() != 1)
            return Print("ERROR no room row " + words[1]);
        emit ui->roomList->itemDoubleClicked(rows.first(), 0);
    }
    else if (command == "SAYROOM" && words.size() >= 3)
    {
        RoomForm* room = FindRoom(i_window, words[1]);
        if (!room)
            return Print("ERROR no room view " + words[1]);
        Type(room->findChild<QLineEdit*>("chatEdit"), QString::fromUtf8(Rest(i_line, 2)));
    }
    else if (command == "ROOMTEXT" && words.size() == 2)
    {
        RoomForm* room = FindRoom(i_window, words[1]);
        if (!room)
            return Print("NO_ROOM_VIEW");
        return Print("ROOMTEXT " + OneLine(room->findChild<QTextBrowser*>("chatView")->toPlainText()));
    }
    else if (command == "MSG" && words.size() >= 3)
    {
        ChatForm* chat = i_window.OpenChatForm(words[1].toStdString());
        if (!chat)
            return Print("ERROR no chat view " + words[1]);
        Type(chat->findChild<QLineEdit*>("chatEdit"), QString::fromUtf8(Rest(i_line, 2)));
    }
    else if (command == "CHATTEXT" && words.size() == 2)
    {
        ChatForm* chat = FindChat(i_window, words[1]);
        if (!chat)
            return Print("NO_CHAT_VIEW");
        return Print("CHATTEXT " + OneLine(chat->findChild<QTextBrowser*>("chatView")->toPlainText()));
    }
    else if (command == "SHARE" && words.size() >= 2)
    {
        const QByteArray failure = ShareThroughDialog(ui, QFile::decodeName(Rest(i_line, 1)));
        if (!failure.isEmpty())
            return Print("ERROR " + failure);
    }
    else if (command == "SHARED")
        return Print("SHARED " + QByteArray::number(qulonglong(T("shared_file")->ItemCount())));
    else if (command == "SEARCH" && words.size() >= 2)
    {
        auto* edit = ui->searchForm->findChild<QLineEdit*>("searchEdit");
        if (!edit)
            return Print("ERROR no search line");
        Type(edit, QString::fromUtf8(Rest(i_line, 1)));
    }
    else if (command == "RESULTS")
    {
        QStringList rows;
        for (SearchResultsForm* tab : ui->searchForm->findChildren<SearchResultsForm*>())
            for (int k = 0; k < tab->searchResults()->topLevelItemCount(); ++k)
                CollectFileRows(tab->searchResults()->topLevelItem(k), rows);
        return Print("RESULTS " + rows.join(';').toUtf8());
    }
    else if (command == "OPEN" && words.size() >= 2)
    {
        const QString text = QString::fromUtf8(Rest(i_line, 1));
        for (SearchResultsForm* tab : ui->searchForm->findChildren<SearchResultsForm*>())
        {
            QTreeWidget* tree = tab->searchResults();
            for (QTreeWidgetItemIterator it(tree); *it; ++it)
                for (int c = 0; c < (*it)->columnCount(); ++c)
                    if ((*it)->text(c).endsWith(text) || (*it)->text(c).startsWith(text + '/'))
                    {
                        emit tree->itemDoubleClicked(*it, c);
                        return Print("OK OPEN");
                    }
        }
        return Print("ERROR no result row ending with " + text.toUtf8());
    }
    else if (command == "BROWSE" && words.size() == 2)
    {
        QTreeWidgetItem* row = ResultUserRow(ui, QString::fromUtf8(words[1]));
        if (!row)
            return Print("ERROR no result row of " + words[1]);
        const QByteArray failure = ChooseFromContextMenu(row, "Browse user's files");
        if (!failure.isEmpty())
            return Print("ERROR " + failure);
    }
    else if (command == "BROWSED" && words.size() == 2)
    {
        ShareForm* view = FindBrowse(words[1]);
        if (!view)
            return Print("NO_BROWSE_VIEW");
        QStringList folders;
        for (QTreeWidgetItemIterator it(view->FolderTree()); *it; ++it)
            folders << RowPath(*it);
        return Print("BROWSED " + folders.join(';').toUtf8());
    }
    else if ((command == "BROWSEFILES" || command == "BROWSEGET") && words.size() >= 3)
    {
        ShareForm* view = FindBrowse(words[1]);
        if (!view)
            return Print("ERROR no browse tab of " + words[1]);
        QTreeWidgetItem* row = FindFolderRow(view, QString::fromUtf8(Rest(i_line, 2)));
        if (!row)
            return Print("ERROR no folder row " + Rest(i_line, 2));
        if (!ClickFolderRow(view, row))
            return Print("ERROR the folder row takes no click");
        if (command == "BROWSEFILES")
        {
            QStringList files;
            QTreeWidget* list = view->FileList();
            for (int k = 0; k < list->topLevelItemCount(); ++k)
                files << list->topLevelItem(k)->text(0) + '|' + list->topLevelItem(k)->text(1);
            return Print("BROWSEFILES " + files.join(';').toUtf8());
        }
        if (!ClickToolBarAction("Download Folder"))
            return Print("ERROR no Download Folder action in the toolbar");
    }
    else if (command == "DOWNLOADS")
    {
        auto* list = ui->transfersForm->findChild<QTreeWidget*>("downloadsList");
        if (!list)
            return Print("ERROR no download list");
        QStringList rows;
        for (QTreeWidgetItemIterator it(list); *it; ++it)
            if ((*it)->childCount() == 0)
                rows << (*it)->text(2) + '|' + (*it)->text(3) + '|' + (*it)->text(8);
        return Print("DOWNLOADS " + rows.join(';').toUtf8());
    }
    else if (command == "BROWSEAWAY" && words.size() == 2)
    {
        auto* list = ui->transfersForm->findChild<QTreeWidget*>("downloadsList");
        const QString name = QRegularExpression::escape(QString::fromUtf8(words[1])) + "( \\[offline\\])?";
        const auto rows = list->findItems(QRegularExpression::anchoredPattern(name), Qt::MatchRegularExpression);
        if (rows.size() != 1 || !FocusAsClicked(list))
            return Print("ERROR no download row of " + words[1]);
        const QByteArray failure = ChooseFromContextMenu(rows.first(), "Browse user's files");
        if (!failure.isEmpty() || !FocusAsClicked(list))
            return Print("ERROR " + failure);
    }
    else if (command == "EVENTS")
    {
        QStringList buttons;
        for (QAction* action : eventToolBar->actions())
            if (!action->text().isEmpty())
                buttons << action->text();
        return Print("EVENTS " + buttons.join('|').toUtf8());
    }
    else if (command == "SLOTS" && words.size() == 2)
    {
        auto* slotBox = ui->transfersForm->findChild<QSpinBox*>("uploadSlotsSpinBox");
        if (!slotBox)
            return Print("ERROR no upload slots box");
        slotBox->setValue(words[1].toInt());
    }
    else if (command == "LIMIT" && words.size() == 2)
    {
        auto* limit = ui->transfersForm->findChild<QSpinBox*>("uploadLimitSpinBox");
        auto* enabled = ui->transfersForm->findChild<QCheckBox*>("uploadLimitCheckBox");
        if (!limit || !enabled)
            return Print("ERROR no upload limit widgets");
        if (words[1].toInt() > 0)
            limit->setValue(words[1].toInt());
        enabled->setChecked(words[1].toInt() > 0);
    }
    else
        return Print("ERROR unknown command " + i_line);
    Print("OK " + command);
}
} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    int exitCode = 0;
    {
        MainWindow window;
        window.setVisible(true);
        window.Init();
        nodemain::CommandLines lines(application, [&window](const QByteArray& i_line) {
            if (!i_line.isEmpty())
                Run(window, i_line);
        });
        Print("STARTED");
        exitCode = application.exec();
    }
    return exitCode;
}
