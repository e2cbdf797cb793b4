#include "ChatHistory.h"

#include "GeneralFunctions.h"

#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

qsizetype ChatHistoryCut(const QString& i_html)
{
    if (i_html.size() <= kChatHistoryLimit)
        return 0;
    const qsizetype lineFeed = i_html.indexOf(QLatin1Char('\n'), kChatHistoryDrop);
    return lineFeed < 0 ? kChatHistoryDrop : lineFeed + 1;
}

QString CutChatText(const QString& i_text)
{
    if (i_text.size() <= kChatTextLimit)
        return i_text;
    qsizetype keep = kChatTextLimit;
    if (i_text.at(keep - 1).isHighSurrogate())
        --keep;
    return i_text.left(keep) + QChar(0x2026);
}

QString ChatLineHtml(const QString& i_name, const QString& i_text)
{
    return ConvertLinks(QLatin1String("[<font color=\"blue\">") + EscapeHTML(CutChatText(i_name)) +
                        QLatin1String("</font>] ") + EscapeHTML(CutChatText(i_text)));
}

QString StatusLineHtml(const QString& i_text)
{
    return ConvertLinks(QLatin1String("* <font color=\"green\">") + EscapeHTML(CutChatText(i_text)) +
                        QLatin1String("</font>"));
}

ChatHistory::ChatHistory(QTextBrowser* ip_view) : mp_view(ip_view)
{
    // A read-only view needs no undo history; it would grow with every line.
    mp_view->document()->setUndoRedoEnabled(false);
}

void ChatHistory::AddLine(const QString& i_html)
{
    if (m_length > kChatHistoryLimit)
        Trim();
    Append(i_html);
}

void ChatHistory::AddStatus(const QString& i_html)
{
    Append(i_html);
}

QString ChatHistory::Html() const
{
    QString html;
    html.reserve(m_length);
    bool first = true;
    for (const Line& line : m_lines)
    {
        if (!first)
            html += QLatin1Char('\n');
        html += line.m_html;
        first = false;
    }
    return html;
}

void ChatHistory::Append(const QString& i_html)
{
    QTextDocument* document = mp_view->document();
    // An empty document already holds the paragraph the first line fills.
    const int before = document->isEmpty() ? 0 : document->blockCount();
    mp_view->append(i_html);
    m_length += (m_lines.empty() ? 0 : 1) + i_html.size();
    m_lines.push_back({i_html, document->blockCount() - before});
}

void ChatHistory::Trim()
{
    const qsizetype cut = ChatHistoryCut(Html());
    if (cut <= 0)
        return;
    // Lines that start before the cut go whole: HTML is never cut inside.
    qsizetype start = 0;
    int blocks = 0;
    while (!m_lines.empty() && start < cut)
    {
        const Line& line = m_lines.front();
        start += line.m_html.size() + 1;
        blocks += line.m_blocks;
        m_lines.pop_front();
    }
    m_length = 0;
    for (const Line& line : m_lines)
        m_length += line.m_html.size() + 1;
    if (m_length > 0)
        --m_length;

    mp_view->setUpdatesEnabled(false);
    QTextDocument* document = mp_view->document();
    if (m_lines.empty() || blocks >= document->blockCount())
    {
        mp_view->clear();
    }
    else if (blocks > 0)
    {
        QTextCursor cursor(document);
        cursor.setPosition(0);
        cursor.setPosition(document->findBlockByNumber(blocks).position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    mp_view->setUpdatesEnabled(true);
}
