#include "SharedFolderInfo.h"

#include "ProtocolCodes.h"

bool SharedFolderInfo::Read(InputStream& i_stream)
{
    m_files.clear();
    quint32 count = 0;
    // A record takes at least its present byte.
    if (!i_stream.ReadCount(count, MAX_FOLDER_RECORDS, 1))
        return false;
    for (quint32 k = 0; k < count; ++k)
    {
        FileInfo file;
        bool present = false;
        if (!ReadFileRecord(i_stream, file, present))
            return false;
        if (present)
            m_files.insert(std::move(file));
    }
    quint32 trailing = 0;
    return i_stream.ReadUInt32(trailing);
}

bool SharedFolderInfo::Write(OutputStream& i_stream) const
{
    if (m_files.size() > MAX_FOLDER_RECORDS)
        return false;
    if (!i_stream.WriteUInt32(quint32(m_files.size())))
        return false;
    for (const FileInfo& file : m_files)
        if (!file.Write(i_stream))
            return false;
    return i_stream.WriteUInt32(0);
}
