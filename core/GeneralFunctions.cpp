#include "GeneralFunctions.h"

#include <QRegularExpression>
#include <QTabWidget>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace {

bool IsSeparator(char i_c)
{
    return i_c == '/' || i_c == '\\';
}

char AsciiLower(char i_c)
{
    return (i_c >= 'A' && i_c <= 'Z') ? char(i_c - 'A' + 'a') : i_c;
}

std::string WithoutOneTrailingSeparator(const std::string& i_path)
{
    if (!i_path.empty() && IsSeparator(i_path.back()))
        return i_path.substr(0, i_path.size() - 1);
    return i_path;
}

// Makes each enclosing tab widget show the page on the path down to the
// widget, inner tab widgets first.
void MakeEnclosingPagesCurrent(QWidget* ip_widget)
{
    std::vector<QWidget*> path{ip_widget};
    for (QWidget* parent = ip_widget->parentWidget(); parent; parent = parent->parentWidget())
    {
        if (QTabWidget* tabs = qobject_cast<QTabWidget*>(parent))
        {
            for (QWidget* onPath : path)
            {
                const int index = tabs->indexOf(onPath);
                if (index != -1)
                {
                    tabs->setCurrentIndex(index);
                    break;
                }
            }
        }
        path.push_back(parent);
    }
}

} // namespace

std::string GetFolder(const std::string& i_path)
{
    const std::string path = WithoutOneTrailingSeparator(i_path);
    const size_t pos = path.find_last_of("/\\");
    if (pos == std::string::npos)
        return path;
    return path.substr(0, pos);
}

std::string GetFileName(const std::string& i_path)
{
    const std::string path = WithoutOneTrailingSeparator(i_path);
    const size_t pos = path.find_last_of("/\\");
    if (pos == std::string::npos)
        return path;
    return path.substr(pos + 1);
}

std::string GetParentFolder(const std::string& i_path)
{
    std::string path = i_path;
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    path = WithoutOneTrailingSeparator(path);
    const size_t pos = path.find_last_of("/\\");
    if (pos == std::string::npos)
        return std::string();
    return path.substr(0, pos);
}

std::string GetAbsoluteFileName(const std::string& i_path)
{
    // Every shared file's name passes here once, and most hold no
    // separator at all: those only need lower-casing, which runs many
    // bytes at a time.
    std::string result(i_path);
    if (!std::memchr(result.data(), '/', result.size()) && !std::memchr(result.data(), '\\', result.size()))
    {
        for (char& c : result)
            c = AsciiLower(c);
        return result;
    }
    size_t length = 0;
    bool inSeparatorRun = false;
    for (char c : i_path)
    {
        if (IsSeparator(c))
        {
            if (!inSeparatorRun)
                result[length++] = c;
            inSeparatorRun = true;
        }
        else
        {
            result[length++] = AsciiLower(c);
            inSeparatorRun = false;
        }
    }
    if (length && IsSeparator(result[length - 1]))
        --length;
    result.resize(length);
    return result;
}

std::string GetFileExtension(const std::string& i_path)
{
    const size_t dot = i_path.rfind('.');
    if (dot == std::string::npos)
        return std::string();
    const size_t separator = i_path.find_last_of("/\\");
    if (separator != std::string::npos && separator > dot)
        return std::string();
    std::string extension = i_path.substr(dot + 1);
    for (char& c : extension)
        c = AsciiLower(c);
    return extension;
}

std::string ToWirePath(std::string i_path)
{
    std::replace(i_path.begin(), i_path.end(), '/', '\\');
    return i_path;
}

std::string ToLocalPath(std::string i_path)
{
    std::replace(i_path.begin(), i_path.end(), '\\', '/');
    return i_path;
}

std::string ReversePathname(const std::string& i_path)
{
    std::string result;
    size_t end = i_path.size();
    while (true)
    {
        while (end > 0 && IsSeparator(i_path[end - 1]))
            --end;
        if (end == 0)
            break;
        size_t begin = end;
        while (begin > 0 && !IsSeparator(i_path[begin - 1]))
            --begin;
        if (!result.empty())
            result += '/';
        result.append(i_path, begin, end - begin);
        end = begin;
    }
    return result;
}

QString FormatSeconds(long i_seconds)
{
    const long seconds = i_seconds < 0 ? 0 : i_seconds;
    const long days = seconds / 86400;
    const long hours = (seconds % 86400) / 3600;
    const long minutes = (seconds % 3600) / 60;
    QString result;
    if (days > 0)
        result += QString::number(days) + QLatin1Char('d');
    if (days > 0 || hours > 0)
        result += QString::number(hours) + QLatin1Char('h');
    result += QString::number(minutes) + QLatin1Char('m');
    result += QString::number(seconds % 60) + QLatin1Char('s');
    return result;
}

QString CommafyNumber(long long i_number)
{
    if (i_number <= 0)
        return QString();
    const QString digits = QString::number(i_number);
    QString result;
    result.reserve(digits.size() + digits.size() / 3);
    for (qsizetype i = 0; i < digits.size(); ++i)
    {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            result += QLatin1Char(',');
        result += digits[i];
    }
    return result;
}

QString EscapeHTML(const QString& i_text)
{
    QString result = i_text;
    result.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    result.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    result.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    result.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    return result;
}

QString ConvertLinks(const QString& i_text)
{
    // A link is the scheme, then address characters, ending on one that is
    // not punctuation. "&" is taken only as a whole "&amp;" or when it starts
    // no entity at all, so an entity is never split and an escaped quote or
    // angle bracket ends the link.
    static const QRegularExpression link(QStringLiteral(
        "\\bhttps?://"
        "(?:&amp;"
        "|&(?!(?:[A-Za-z][A-Za-z0-9]*|#[0-9]+|#[xX][0-9A-Fa-f]+);)"
        "|[A-Za-z0-9\\-._~:/?#\\[\\]@!$'()*+,;=%])*"
        "[A-Za-z0-9\\-_~/#=+%$*@]"),
        QRegularExpression::CaseInsensitiveOption);

    QString result;
    qsizetype copied = 0;
    QRegularExpressionMatchIterator it = link.globalMatch(i_text);
    while (it.hasNext())
    {
        const QRegularExpressionMatch match = it.next();
        const QString address = match.captured(0);
        result += QStringView(i_text).mid(copied, match.capturedStart(0) - copied);
        result += QLatin1String("<a href=\"") + address + QLatin1String("\">") + address
                + QLatin1String("</a>");
        copied = match.capturedEnd(0);
    }
    result += QStringView(i_text).mid(copied);
    return result;
}

bool GetBit(unsigned int i_value, int i_n)
{
    if (i_n < 1 || i_n > int(sizeof(unsigned int) * CHAR_BIT))
        return false;
    return ((i_value >> (i_n - 1)) & 1u) != 0;
}

void FocusWidget(QWidget* ip_widget)
{
    if (!ip_widget)
        return;
    MakeEnclosingPagesCurrent(ip_widget);
    ip_widget->activateWindow();
    ip_widget->setFocus(Qt::OtherFocusReason);
}

void FocusWidgetAndParents(QWidget* ip_widget)
{
    if (!ip_widget)
        return;
    ip_widget->activateWindow();
    ip_widget->setFocus(Qt::OtherFocusReason);
    MakeEnclosingPagesCurrent(ip_widget);
}
