// One whole client for the end-to-end tests: the real window, started as
// the program starts it (MainWindow::Init with every manager and view), in
// the HOME the test gave it, offscreen. The test prepares its state file;
// lines on standard input then act as a user would, on the window's
// widgets, and ask what the window shows. Each command prints one line.
//   ROOMS                      ROOMS <row>|<row>...   the room list
//   REFRESH_ROOMS              the "Refresh Room List" action
//   JOIN <room>                double-clicks the room's row
//   SAYROOM <room> <text>      types the text into the room's chat line
//   ROOMTEXT <room>            ROOMTEXT <chat shown, lines joined by |>,
//                              NO_ROOM_VIEW while the room has no view
//   MSG <user> <text>          opens the private chat and types the text
//   CHATTEXT <user>            CHATTEXT <chat shown, lines joined by |>,
//                              NO_CHAT_VIEW while the user has none
//   SHARE <path>               shares the folder with everyone
//   SHARED                     SHARED <shared file count>
//   SEARCH <text>              types the text into the search line
//   RESULTS                    RESULTS <row>;<row>... every file row of
//                              every results tab, cells joined by |
//   OPEN <text>                double-clicks the first result row one of
//                              whose cells ends with the text, or, for a
//                              folder (shown innermost first), starts with
//                              the text and a slash
//   SLOTS <n>                  sets the upload slots in the transfers view
//   LIMIT <KiB/s>              sets and switches on the upload speed limit
//                              there; 0 switches it off
//   DOWNLOADS                  DOWNLOADS <row>;<row>... every download
//                              entry row: file|status|place in line
// Every command answers "OK <command>" unless it prints a line of its own,
// "ERROR <why>" when it cannot be done. Closing standard input quits the
// program through the window's own teardown, which saves the state file.

#include "ChatForm.h"
#include "Data.h"
#include "RoomForm.h"
#include "SearchResultsForm.h"
#include "TextConversion.h"
#include "mainwindow.h"
#include "peers/NodeMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

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

void Run(MainWindow& i_window, const QByteArray& i_line)
{
    const QList<QByteArray> words = i_line.split(' ');
    const QByteArray& command = words[0];
    Ui_MainWindow* ui = i_window.Form();
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
        // What the add-shared-folder dialog stores for a folder open to all.
        ItemPtr folder = T("shared_folder")->GetItem(Rest(i_line, 1).toStdString());
        folder += T("shared_public")->GetGlobalNullItem();
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
