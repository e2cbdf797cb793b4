#include "UserStats.h"

namespace
{
// Signals carrying UserStats may cross threads (queued connections).
const int g_userStatsTypeId = qRegisterMetaType<UserStats>("UserStats");
}

bool UserStats::Read(InputStream& i_stream)
{
    i_stream.ReadInt32(m_averageSpeed);
    i_stream.ReadInt64(m_uploadCount);
    i_stream.ReadInt32(m_sharedFiles);
    i_stream.ReadInt32(m_sharedFolders);
    return i_stream.Ok();
}

bool UserStats::Write(OutputStream& i_stream) const
{
    return i_stream.WriteInt32(m_averageSpeed) && i_stream.WriteInt64(m_uploadCount) &&
           i_stream.WriteInt32(m_sharedFiles) && i_stream.WriteInt32(m_sharedFolders);
}

bool UserStats::operator==(const UserStats& i_other) const
{
    return m_averageSpeed == i_other.m_averageSpeed && m_uploadCount == i_other.m_uploadCount &&
           m_sharedFiles == i_other.m_sharedFiles && m_sharedFolders == i_other.m_sharedFolders;
}

bool UserInRoom::Read(InputStream& i_stream)
{
    i_stream.ReadString(m_user);
    i_stream.ReadUInt32(m_status);
    m_stats.Read(i_stream);
    i_stream.ReadString(m_country);
    return i_stream.Ok();
}

bool UserInRoom::Write(OutputStream& i_stream) const
{
    return i_stream.WriteString(m_user) && i_stream.WriteUInt32(m_status) &&
           m_stats.Write(i_stream) && i_stream.WriteString(m_country);
}
