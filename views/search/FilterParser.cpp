#include "FilterParser.h"

#include <limits>

namespace
{
// The file's linked item of a type; null when the type or the link is
// missing, so a file without it reads as empty text or 0.
ItemPtr Linked(ItemPtr i_file, Type* ip_type)
{
    return ip_type ? ItemPtr(i_file->GetItem(ip_type)) : ItemPtr();
}

char16_t FoldAscii(char16_t i_c)
{
    return i_c >= u'A' && i_c <= u'Z' ? char16_t(i_c + (u'a' - u'A')) : i_c;
}

// Whether i_text holds i_word, case ignored as QString::contains does it.
// Names are mostly plain ASCII, where folding case only maps A-Z to a-z, so
// those are compared directly; any other character sends the pair the
// general way, since some non-ASCII letters fold to ASCII ones.
bool ContainsIgnoringCase(const QString& i_text, const QString& i_word)
{
    const qsizetype n = i_text.size();
    const qsizetype m = i_word.size();
    const char16_t* word = reinterpret_cast<const char16_t*>(i_word.utf16());
    bool ascii = m > 0;
    for (qsizetype k = 0; k < m && ascii; ++k)
        ascii = word[k] < 0x80;
    if (!ascii)
        return i_text.contains(i_word, Qt::CaseInsensitive);
    if (m > n)
        return false;
    const char16_t* text = reinterpret_cast<const char16_t*>(i_text.utf16());
    const char16_t first = FoldAscii(word[0]);
    for (qsizetype i = 0; i < n; ++i)
    {
        const char16_t c = text[i];
        if (c >= 0x80)
            return i_text.contains(i_word, Qt::CaseInsensitive);
        if (FoldAscii(c) != first || i + m > n)
            continue;
        // A character past 0x7f never equals an ASCII one, so a match found
        // here lies wholly in ASCII text.
        qsizetype k = 1;
        while (k < m && FoldAscii(text[i + k]) == FoldAscii(word[k]))
            ++k;
        if (k == m)
            return true;
    }
    return false;
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
        if (!m_types.known)
        {
            m_types.mode = d->HasType("bitrate_mode");
            m_types.bitrate = d->HasType("bitrate");
            m_types.size = d->HasType("file_size");
            m_types.known = true;
        }
        if (m_isVbr && Linked(i_file, m_types.mode).AsString() != "vbr")
            return 2;
        if (m_isCbr && Linked(i_file, m_types.mode).AsString() != "cbr")
            return 2;
        if (Linked(i_file, m_types.bitrate).AsInt64() < m_minBitrate)
            return 2;
        if (Linked(i_file, m_types.size).AsInt64() < m_minFileSize)
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
        ip_rest->m_types = m_types;
    }

    for (const QString& word : m_excludeWords)
        if (ContainsIgnoringCase(i_text, word))
            return 2;

    if (ip_rest)
        ip_rest->m_excludeWords = m_excludeWords;

    for (const QString& word : m_includeWords)
        if (!ContainsIgnoringCase(i_text, word))
        {
            if (!ip_rest)
                return 1;
            ip_rest->m_includeWords.append(word);
        }

    if (ip_rest)
        return ip_rest->m_includeWords.isEmpty() ? 0 : 1;
    return 0;
}
