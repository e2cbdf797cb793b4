#pragma once
// Statistics of a user as the server reports them, and a room member.

#include "Stream.h"

#include <QMetaType>

class UserStats : public Persistent
{
public:
    UserStats() = default;
    UserStats(qint32 i_averageSpeed, qint64 i_uploadCount, qint32 i_sharedFiles,
              qint32 i_sharedFolders)
        : m_averageSpeed(i_averageSpeed), m_uploadCount(i_uploadCount),
          m_sharedFiles(i_sharedFiles), m_sharedFolders(i_sharedFolders)
    {
    }

    // int32 average speed, int64 upload count, int32 files, int32 folders.
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    bool operator==(const UserStats& i_other) const;
    bool operator!=(const UserStats& i_other) const { return !(*this == i_other); }

    qint32 m_averageSpeed = 0;   // bytes per second
    qint64 m_uploadCount = 0;
    qint32 m_sharedFiles = 0;
    qint32 m_sharedFolders = 0;
};

Q_DECLARE_METATYPE(UserStats)

// Bytes of the smallest possible UserInRoom on the wire (empty strings).
constexpr size_t USER_IN_ROOM_MIN_BYTES = 4 + 4 + 20 + 4;

// One member of a room: string user, uint32 status, UserStats, string
// country code.
class UserInRoom : public Persistent
{
public:
    enum Status : quint32
    {
        Offline = 0,
        Away = 1,
        Online = 2
    };

    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    std::string m_user;
    quint32 m_status = Offline;
    UserStats m_stats;
    std::string m_country;   // two letters or empty
};
