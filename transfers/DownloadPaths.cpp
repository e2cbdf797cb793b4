#include "DownloadPaths.h"

#include "TextConversion.h"

#include <QDir>

namespace
{

// UTF-8 bytes of the character that starts at i_at, and its length in
// UTF-16 units; a lone surrogate counts as the three bytes of its stand-in.
int CharacterBytes(const QString& i_text, qsizetype i_at, qsizetype* o_units)
{
    const QChar c = i_text.at(i_at);
    *o_units = 1;
    if (c.isHighSurrogate() && i_at + 1 < i_text.size() && i_text.at(i_at + 1).isLowSurrogate())
    {
        *o_units = 2;
        return 4;
    }
    return c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 ? 2 : 3;
}

qsizetype Utf8Bytes(const QString& i_text)
{
    qsizetype bytes = 0;
    qsizetype units = 1;
    for (qsizetype k = 0; k < i_text.size(); k += units)
        bytes += CharacterBytes(i_text, k, &units);
    return bytes;
}

// The longest start of the text that takes at most i_bytes in UTF-8; a
// character is never cut in two.
QString CutToBytes(const QString& i_text, qsizetype i_bytes)
{
    qsizetype used = 0;
    qsizetype k = 0;
    qsizetype units = 1;
    for (; k < i_text.size(); k += units)
    {
        const int bytes = CharacterBytes(i_text, k, &units);
        if (used + bytes > i_bytes)
            break;
        used += bytes;
    }
    return i_text.left(k);
}

// The name with the mark (empty or " (n)") before its extension, what
// stands before the mark cut so that the whole fits on the file system. An
// extension too long to keep is cut with the rest.
QString FitName(const QString& i_name, const QString& i_mark)
{
    const qsizetype dot = i_name.lastIndexOf(QLatin1Char('.'));
    const qsizetype at = dot > 0 ? dot : i_name.size();
    QString stem = i_name.left(at);
    QString tail = i_mark + i_name.mid(at);
    if (Utf8Bytes(tail) >= kMaxLocalNameBytes)
    {
        stem = i_name;
        tail = i_mark;
    }
    return CutToBytes(stem, kMaxLocalNameBytes - Utf8Bytes(tail)) + tail;
}

} // namespace

std::string CleanPathComponent(const std::string& i_part)
{
    if (i_part.empty() || i_part == "." || i_part == "..")
        return "_";
    std::string clean = i_part;
    for (char& c : clean)
    {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f)
            c = '_';
    }
    return clean;
}

QString LocalName(const std::string& i_wirePart, bool* o_shortened)
{
    // Cleaning touches ASCII bytes only, so valid UTF-8 stays valid.
    const QString whole = FromName(CleanPathComponent(i_wirePart));
    const QString fitted = FitName(whole, QString());
    if (o_shortened)
        *o_shortened = fitted.size() != whole.size();
    return fitted;
}

QStringList KeptSubfolders(const std::string& i_remoteFolder, long i_level, bool* o_shortened)
{
    if (o_shortened)
        *o_shortened = false;
    if (i_remoteFolder.empty())
        return {};
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;)
    {
        const size_t end = i_remoteFolder.find('\\', start);
        parts.push_back(i_remoteFolder.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (parts.size() > 1 && parts.back().empty())
        parts.pop_back();
    const long last = long(parts.size()) - 1;
    const long level = i_level < 0 ? 0 : (i_level > last ? last : i_level);
    QStringList kept;
    for (size_t k = parts.size() - size_t(level) - 1; k < parts.size(); ++k)
    {
        bool shortened = false;
        kept << LocalName(parts[k], &shortened);
        if (o_shortened && shortened)
            *o_shortened = true;
    }
    return kept;
}

QString NumberedName(const QString& i_name, int i_number)
{
    return FitName(i_name, QStringLiteral(" (%1)").arg(i_number));
}

void SplitWirePath(const std::string& i_path, std::string* o_folder, std::string* o_name)
{
    const size_t cut = i_path.rfind('\\');
    *o_folder = cut == std::string::npos ? std::string() : i_path.substr(0, cut);
    *o_name = cut == std::string::npos ? i_path : i_path.substr(cut + 1);
}

bool IsBelowFolder(const QString& i_path, const QString& i_folder)
{
    const QString folder = QDir::cleanPath(i_folder);
    const QString path = QDir::cleanPath(i_path);
    if (folder.isEmpty() || path.size() <= folder.size())
        return false;
    const QString prefix = folder.endsWith('/') ? folder : folder + '/';
    return path.startsWith(prefix) && path.size() > prefix.size();
}
