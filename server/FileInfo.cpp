#include "FileInfo.h"

#include "ProtocolCodes.h"

bool AttributeMap::Read(InputStream& i_stream)
{
    std::string extension;
    quint32 count = 0;
    i_stream.ReadString(extension);
    if (!i_stream.ReadCount(count, MAX_ATTRIBUTE_PAIRS, 8))
        return false;
    std::vector<Attribute> attributes(count);
    for (Attribute& attribute : attributes)
    {
        i_stream.ReadInt32(attribute.first);
        i_stream.ReadInt32(attribute.second);
    }
    if (!i_stream.Ok())
        return false;
    m_extension = std::move(extension);
    m_attributes = std::move(attributes);
    return true;
}

bool AttributeMap::Write(OutputStream& i_stream) const
{
    if (m_attributes.size() > MAX_ATTRIBUTE_PAIRS)
        return false;
    bool ok = i_stream.WriteString(m_extension) &&
              i_stream.WriteUInt32(static_cast<quint32>(m_attributes.size()));
    for (const Attribute& attribute : m_attributes)
        ok = ok && i_stream.WriteInt32(attribute.first) && i_stream.WriteInt32(attribute.second);
    return ok;
}

bool FileInfo::Read(InputStream& i_stream)
{
    quint8 present = 0;
    if (!i_stream.ReadByte(present))
        return false;
    if (present == 0)
        return true;

    std::string name;
    qint64 size = 0;
    AttributeMap attributes;
    i_stream.ReadString(name, MAX_FILE_NAME_LENGTH);
    i_stream.ReadInt64(size);
    if (i_stream.Ok() && size < 0)
        i_stream.Fail();
    if (!i_stream.Ok() || !attributes.Read(i_stream))
        return false;
    m_name = std::move(name);
    m_size = size;
    m_attributes = std::move(attributes);
    return true;
}

bool FileInfo::Write(OutputStream& i_stream) const
{
    return i_stream.WriteByte(1) && i_stream.WriteString(m_name) && i_stream.WriteInt64(m_size) &&
           m_attributes.Write(i_stream);
}

bool ReadFileRecord(InputStream& i_in, FileInfo& o_file, bool& o_present)
{
    // A record whose present byte is 0 leaves the object as it was; the
    // size -1, which no present record can carry, tells the two apart.
    o_file = FileInfo();
    o_file.m_size = -1;
    o_present = false;
    if (!o_file.Read(i_in))
    {
        i_in.Fail();
        return false;
    }
    o_present = o_file.m_size >= 0;
    if (!o_present)
        o_file = FileInfo();
    return true;
}
