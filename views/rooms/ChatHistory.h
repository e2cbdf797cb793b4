#pragma once
// The text of a chat view (a room's or a private conversation's): the HTML
// lines the view was given, kept line by line beside the read-only view, so
// that a busy view drops its oldest lines without serialising the document.
//
// Everything shown was typed by other users: names and texts are escaped
// and cut before they become HTML, and only web addresses become links.

#include <QString>

#include <deque>

class QTextBrowser;

// Above this many characters of HTML the oldest lines go ...
constexpr int kChatHistoryLimit = 250000;
// ... at least this many characters of them, and the rest of their line.
constexpr int kChatHistoryDrop = 50000;
// A longer name or text is cut to this many characters and "…".
constexpr int kChatTextLimit = 16384;

// How many characters to drop from the front of a view's HTML (its lines
// joined by line feeds) before the next line is added: 0 while it holds at
// most kChatHistoryLimit characters; otherwise the first kChatHistoryDrop
// characters and everything up to and including the next line feed, or
// exactly kChatHistoryDrop when no line feed follows.
qsizetype ChatHistoryCut(const QString& i_html);

// The text itself when short enough, else its first kChatTextLimit
// characters (one fewer when that would split a surrogate pair) and "…".
QString CutChatText(const QString& i_text);

// "[<font color="blue">NAME</font>] TEXT": name and text cut and escaped,
// web addresses made links.
QString ChatLineHtml(const QString& i_name, const QString& i_text);

// "* <font color="green">TEXT</font>", escaped, web addresses made links.
QString StatusLineHtml(const QString& i_text);

class ChatHistory
{
public:
    explicit ChatHistory(QTextBrowser* ip_view);
    ChatHistory(const ChatHistory&) = delete;
    ChatHistory& operator=(const ChatHistory&) = delete;

    // Adds a chat line, dropping the oldest lines first when the view is
    // over its bound.
    void AddLine(const QString& i_html);
    // Adds a status line; status lines never trim the view.
    void AddStatus(const QString& i_html);

    // The view's lines joined by line feeds, as the trimming sees them.
    QString Html() const;
    qsizetype Length() const { return m_length; }
    int LineCount() const { return int(m_lines.size()); }

private:
    struct Line
    {
        QString m_html;
        // Paragraphs the line made in the view's document.
        int m_blocks;
    };

    void Append(const QString& i_html);
    void Trim();

    QTextBrowser* mp_view;
    std::deque<Line> m_lines;
    // Characters of the lines plus one line feed between each two.
    qsizetype m_length = 0;
};
