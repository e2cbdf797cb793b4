#include "FilterParser.h"

#include <limits>

namespace
{
// The file's linked item of a type; null when the type or the link is
// missing, so a file without it reads as empty text or 0.
ItemPtr Linked(ItemPtr i_file, const char* ip_typeName)
{
    Type* type = d->HasType(ip_typeName);
    return type ? ItemPtr(i_file->GetItem(type)) : ItemPtr();
}

// A size token counts decimal megabytes.
const long long kBytesPerMegabyte = 1000000;

// A number too large for its field, or none at all, reads as 0.
int ReadInt(const QString& i_token, int i_prefixLength)
{
    bool ok = false;
    const int value = i_token.mid(i_prefixLength).toInt(&ok);
    return ok ? value : 0;
}

long long ReadMegabytes(const QString& i_token, int i_prefixLength)
{
    bool ok = false;
    const long long value = i_token.mid(i_prefixLength).toLongLong(&ok);
    if (!ok)
        return 0;
    // Its bytes must fit as well: past that the limit would wrap.
    const long long limit = std::numeric_limits<long long>::max() / kBytesPerMegabyte;
    if (value > limit || value < -limit)
        return 0;
    return value * kBytesPerMegabyte;
}
}

FilterParser::FilterParser() = default;

void FilterParser::Parse(const QString& i_text)
{
    // Only spaces separate: a tab belongs to its token.
    const QStringList tokens = i_text.split(u' ', Qt::SkipEmptyParts);
    for (const QString& token : tokens)
    {
        if (token.startsWith(u'-'))
        {
            if (token.size() > 1)
                m_excludeWords.append(token.mid(1));
        }
        else if (token == QLatin1String("isvbr"))
        {
            m_isVbr = true;
            m_hasAttributes = true;
        }
        else if (token == QLatin1String("iscbr"))
        {
            m_isCbr = true;
            m_hasAttributes = true;
        }
        else if (token.startsWith(QLatin1String("minbitrate:")))
        {
            m_minBitrate = ReadInt(token, 11);
            m_hasAttributes = true;
        }
        else if (token.startsWith(QLatin1String("mbr:")))
        {
            m_minBitrate = ReadInt(token, 4);
            m_hasAttributes = true;
        }
        else if (token.startsWith(QLatin1String("minfilesize:")))
        {
            m_minFileSize = ReadMegabytes(token, 12);
            m_hasAttributes = true;
        }
        else if (token.startsWith(QLatin1String("mfs:")))
        {
            m_minFileSize = ReadMegabytes(token, 4);
            m_hasAttributes = true;
        }
        else if (token.startsWith(QLatin1String("minfilesinfolder:")))
            m_minFilesInFolder = ReadInt(token, 17);
        else if (token.startsWith(QLatin1String("mfif:")))
            m_minFilesInFolder = ReadInt(token, 5);
        else
            m_includeWords.append(token);
    }
}

int FilterParser::IsMatching(const QString& i_text, FilterParser* ip_rest, ItemPtr i_file) const
{
    if (ip_rest)
    {
        ip_rest->m_includeWords.clear();
        ip_rest->m_excludeWords.clear();
    }

    if (i_file)
    {
        if (m_isVbr && Linked(i_file, "bitrate_mode").AsString() != "vbr")
            return 2;
        if (m_isCbr && Linked(i_file, "bitrate_mode").AsString() != "cbr")
            return 2;
        if (Linked(i_file, "bitrate").AsInt64() < m_minBitrate)
            return 2;
        if (Linked(i_file, "file_size").AsInt64() < m_minFileSize)
            return 2;
    }

    if (ip_rest)
    {
        ip_rest->m_minBitrate = m_minBitrate;
        ip_rest->m_isVbr = m_isVbr;
        ip_rest->m_isCbr = m_isCbr;
        ip_rest->m_minFileSize = m_minFileSize;
        ip_rest->m_minFilesInFolder = m_minFilesInFolder;
        ip_rest->m_hasAttributes = m_hasAttributes;
    }

    for (const QString& word : m_excludeWords)
        if (i_text.contains(word, Qt::CaseInsensitive))
            return 2;

    if (ip_rest)
        ip_rest->m_excludeWords = m_excludeWords;

    for (const QString& word : m_includeWords)
        if (!i_text.contains(word, Qt::CaseInsensitive))
        {
            if (!ip_rest)
                return 1;
            ip_rest->m_includeWords.append(word);
        }

    if (ip_rest)
        return ip_rest->m_includeWords.isEmpty() ? 0 : 1;
    return 0;
}
