#pragma once
// File records of share lists, folder replies and search results.

#include "Stream.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

enum AttributeCode : qint32
{
    ATTRIBUTE_BITRATE = 0,   // kbit/s
    ATTRIBUTE_LENGTH = 1,    // seconds
    ATTRIBUTE_VBR = 2        // 1 variable, 0 constant
};

// An extension text and an ordered list of (code, value) pairs.
// Wire: string extension, uint32 pair count (at most 1024), then per pair
// int32 code, int32 value.
class AttributeMap : public Persistent
{
public:
    typedef std::pair<qint32, qint32> Attribute;

    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    void Add(qint32 i_code, qint32 i_value) { m_attributes.emplace_back(i_code, i_value); }

    bool operator==(const AttributeMap& i_other) const
    {
        return m_extension == i_other.m_extension && m_attributes == i_other.m_attributes;
    }

    std::string m_extension;
    std::vector<Attribute> m_attributes;
};

// One file: name (bytes), size and attributes; ordered by name bytewise,
// then by size. Wire: byte present (1), string name (at most 131072
// bytes), int64 size, AttributeMap. A record with present 0 carries
// nothing more and leaves the object unchanged when read.
class FileInfo : public Persistent
{
public:
    FileInfo() = default;
    FileInfo(std::string i_name, qint64 i_size) : m_name(std::move(i_name)), m_size(i_size) {}

    // On failure the object is unchanged as well. A negative size fails.
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    bool operator<(const FileInfo& i_other) const
    {
        const int order = m_name.compare(i_other.m_name);
        return order < 0 || (order == 0 && m_size < i_other.m_size);
    }

    std::string m_name;
    qint64 m_size = 0;
    AttributeMap m_attributes;
};

// Reads one file record into o_file (reset first). o_present is false for a
// record whose present byte is 0, which carries no data; a failed read also
// marks the stream failed.
bool ReadFileRecord(InputStream& i_in, FileInfo& o_file, bool& o_present);

// Folder path (wire form) to the files in it, as a received share list holds them.
typedef std::map<std::string, std::set<FileInfo>> FileInfoMap;

// Attribute code to its descriptive text; sent along with share lists.
typedef std::map<int, std::string> AttributeTranslationTable;
