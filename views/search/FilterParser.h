#pragma once
// The filter language of result trees and the share browser: words that must
// occur, "-words" that must not, and tokens that limit files by bitrate mode,
// bitrate and size, and folders by how many files they show.

#include <QString>
#include <QStringList>

#include "Data.h"

class FilterParser
{
public:
    // An empty filter: everything matches.
    FilterParser();

    // Adds the tokens of i_text to what is there; callers parse into a new
    // parser each time.
    void Parse(const QString& i_text);

    // 0: match. 1: include words missing from i_text (without a rest), or
    // handed on in ip_rest (with one). 2: an exclude word occurs in i_text,
    // or i_file fails an attribute limit. A rest gets the words still
    // missing, every exclude word and every limit, so a folder's text can
    // count for the files in it.
    int IsMatching(const QString& i_text, FilterParser* ip_rest, ItemPtr i_file) const;

    bool HasAttributes() const { return m_hasAttributes; }
    int MinFilesInFolder() const { return m_minFilesInFolder; }

private:
    QStringList m_includeWords;
    QStringList m_excludeWords;
    int m_minBitrate = 0;
    bool m_isVbr = false;
    bool m_isCbr = false;
    long long m_minFileSize = 0;
    int m_minFilesInFolder = 0;
    bool m_hasAttributes = false;

    // The types of a file's attributes, looked up at the first file a match
    // is given and handed on to rests, so a pass over many files names them
    // once. A parser lives for one pass, within which types never change.
    struct AttributeTypes
    {
        bool known = false;
        Type* mode = nullptr;
        Type* bitrate = nullptr;
        Type* size = nullptr;
    };
    mutable AttributeTypes m_types;
};
