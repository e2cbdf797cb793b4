#include "ShownNames.h"

#include <QFontMetrics>
#include <QIcon>
#include <QStringList>
#include <QTabBar>
#include <QTabWidget>

#include <algorithm>

namespace
{
// About this many characters of an average name fit the width limit.
const int kNameChars = 30;
// The longest line of a tool tip, in characters.
const int kToolTipLine = 120;

// A line break or other control character would make the text taller.
QString OneLine(QString i_name)
{
    for (QChar& c : i_name)
    {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            c = QLatin1Char(' ');
    }
    return i_name;
}
}

int NameWidthLimit(const QFontMetrics& i_metrics)
{
    return i_metrics.averageCharWidth() * kNameChars;
}

QString BoundedName(const QString& i_name, const QFontMetrics& i_metrics)
{
    return i_metrics.elidedText(OneLine(i_name), Qt::ElideRight, NameWidthLimit(i_metrics));
}

QString BoundedMnemonicName(const QString& i_name, const QFontMetrics& i_metrics)
{
    return BoundedName(i_name, i_metrics).replace(QLatin1Char('&'), QLatin1String("&&"));
}

QString ShownTitle(const QString& i_title)
{
    QString title = i_title;
    return title.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
}

QString NameToolTip(const QString& i_name)
{
    // Given as markup, so nothing in the name is taken for markup; spaces
    // are kept as they are. A long name is broken into lines, so even one
    // of thousands of letters fits on a screen.
    const QString name = OneLine(i_name);
    QStringList lines;
    for (qsizetype at = 0; at < name.size();)
    {
        qsizetype length = std::min<qsizetype>(kToolTipLine, name.size() - at);
        // A letter beyond the first plane is two code units: kept whole.
        if (at + length < name.size() && name.at(at + length - 1).isHighSurrogate())
            --length;
        lines << name.mid(at, length).toHtmlEscaped();
        at += length;
    }
    return QLatin1String("<p style=\"white-space:pre-wrap\">") + lines.join(QLatin1String("<br>")) +
           QLatin1String("</p>");
}

int AddNameTab(QTabWidget* ip_tabs, QWidget* ip_page, const QString& i_name)
{
    return AddNameTab(ip_tabs, ip_page, QIcon(), i_name);
}

int AddNameTab(QTabWidget* ip_tabs, QWidget* ip_page, const QIcon& i_icon, const QString& i_name)
{
    const int index = ip_tabs->addTab(ip_page, i_icon, BoundedMnemonicName(i_name, ip_tabs->tabBar()->fontMetrics()));
    ip_tabs->setTabToolTip(index, NameToolTip(i_name));
    return index;
}
