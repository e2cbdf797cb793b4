#include "PeerMessageDecoders.h"

#include "ProtocolCodes.h"
#include "Stream.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace
{
constexpr quint32 ANY_COUNT = std::numeric_limits<quint32>::max();
// A record that is present: its byte, an empty name, the size, an empty
// extension and no pairs. Absent records take one byte, so a count may
// promise many records of which none is kept.
constexpr size_t MIN_PRESENT_RECORD = 1 + 4 + 8 + 4 + 4;

bool ReadTranslationTable(InputStream& i_in, AttributeTranslationTable& o_table)
{
    quint32 count = 0;
    i_in.ReadCount(count, PeerDecoders::MAX_TABLE_ENTRIES, 8);
    for (quint32 k = 0; k < count && i_in.Ok(); ++k)
    {
        qint32 code = 0;
        std::string text;
        i_in.ReadInt32(code);
        i_in.ReadString(text, PeerDecoders::MAX_TEXT);
        if (i_in.Ok())
            o_table[code] = std::move(text);
    }
    return i_in.Ok();
}
}

namespace PeerDecoders
{
bool IsConnectionType(const std::string& i_type)
{
    return i_type == "P" || i_type == "F" || i_type == "D";
}

bool DecodePeerInit(const char* ip_data, size_t i_size, PeerInit& o_message)
{
    InputStream in(ip_data, i_size);
    in.ReadString(o_message.m_user, MAX_USER_NAME);
    in.ReadString(o_message.m_type, MAX_TYPE);
    in.ReadUInt32(o_message.m_token);
    return in.Ok() && !o_message.m_user.empty() && IsConnectionType(o_message.m_type);
}

bool DecodePierceFirewall(const char* ip_data, size_t i_size, quint32& o_token)
{
    InputStream in(ip_data, i_size);
    in.ReadUInt32(o_token);
    return in.Ok();
}

bool DecodeSharedFileList(const char* ip_data, size_t i_size, SharedFileList& o_message)
{
    InputStream in(ip_data, i_size);
    o_message.m_share.clear();
    o_message.m_table.clear();
    quint32 folders = 0;
    quint64 totalFiles = 0;
    in.ReadCount(folders, MAX_SHARE_LIST_FOLDERS, 8);
    for (quint32 k = 0; k < folders && in.Ok(); ++k)
    {
        std::string path;
        quint32 files = 0;
        in.ReadString(path, MAX_TEXT);
        in.ReadCount(files, MAX_FOLDER_RECORDS, 1);
        totalFiles += files;
        if (totalFiles > MAX_SHARE_LIST_FILES)
            in.Fail();
        if (!in.Ok())
            break;
        std::set<FileInfo>& records = o_message.m_share[path];
        for (quint32 n = 0; n < files && in.Ok(); ++n)
        {
            FileInfo file;
            bool present = false;
            if (ReadFileRecord(in, file, present) && present)
                records.insert(std::move(file));
        }
    }
    return ReadTranslationTable(in, o_message.m_table);
}

bool DecodeSearchResult(const char* ip_data, size_t i_size, SearchResult& o_message)
{
    InputStream in(ip_data, i_size);
    quint32 count = 0;
    DecodeSearchResultHead(in, o_message.m_user, o_message.m_req);
    in.ReadCount(count, MAX_FOLDER_RECORDS, 1);
    o_message.m_files.clear();
    if (in.Ok())
        o_message.m_files.reserve(std::min<size_t>(count, in.Remaining() / MIN_PRESENT_RECORD));
    for (quint32 n = 0; n < count && in.Ok(); ++n)
    {
        FileInfo file;
        bool present = false;
        if (ReadFileRecord(in, file, present) && present)
            o_message.m_files.push_back(std::move(file));
    }
    quint8 freeSlot = 0;
    in.ReadByte(freeSlot);
    in.ReadUInt32(o_message.m_speed);
    in.ReadUInt32(o_message.m_queued);
    o_message.m_freeSlot = freeSlot != 0;
    o_message.m_table.clear();
    return ReadTranslationTable(in, o_message.m_table);
}

bool DecodeSearchResultHead(InputStream& i_in, std::string& o_user, quint32& o_req)
{
    i_in.ReadString(o_user, MAX_USER_NAME);
    i_in.ReadUInt32(o_req);
    return i_in.Ok();
}

bool DecodeGetSharedFilesInFolder(const char* ip_data, size_t i_size,
                                  GetSharedFilesInFolder& o_message)
{
    InputStream in(ip_data, i_size);
    in.ReadUInt32(o_message.m_req);
    in.ReadString(o_message.m_folder, MAX_TEXT);
    return in.Ok();
}

bool DecodeSharedFilesInFolder(const char* ip_data, size_t i_size, SharedFilesInFolder& o_message)
{
    InputStream in(ip_data, i_size);
    quint32 folders = 0;
    o_message.m_fileCount = 0;
    in.ReadUInt32(o_message.m_req);
    in.ReadString(o_message.m_folder, MAX_TEXT);
    in.ReadCount(folders, ANY_COUNT, 8);
    for (quint32 k = 0; k < folders && in.Ok(); ++k)
    {
        std::string path;
        quint32 count = 0;
        quint32 trailing = 0;
        in.ReadString(path, MAX_TEXT);
        in.ReadCount(count, MAX_FOLDER_RECORDS, 1);
        for (quint32 n = 0; n < count && in.Ok(); ++n)
        {
            FileInfo file;
            bool present = false;
            if (ReadFileRecord(in, file, present) && present)
                ++o_message.m_fileCount;
        }
        in.ReadUInt32(trailing);
    }
    return in.Ok();
}

bool DecodeTransferRequest(const char* ip_data, size_t i_size, TransferRequest& o_message)
{
    InputStream in(ip_data, i_size);
    o_message.m_size = 0;
    in.ReadUInt32(o_message.m_direction);
    in.ReadUInt32(o_message.m_req);
    in.ReadString(o_message.m_file, MAX_TEXT);
    // The size is optional.
    if (in.Ok() && in.Remaining() >= 8)
        in.ReadInt64(o_message.m_size);
    return in.Ok() && o_message.m_size >= 0;
}

bool DecodeTransferResponse(const char* ip_data, size_t i_size, TransferResponse& o_message)
{
    InputStream in(ip_data, i_size);
    quint8 allowed = 0;
    o_message.m_withSize = false;
    o_message.m_size = 0;
    o_message.m_reason.clear();
    in.ReadUInt32(o_message.m_req);
    in.ReadByte(allowed);
    o_message.m_allowed = allowed != 0;
    if (allowed)
    {
        if (in.Ok() && in.Remaining() >= 8)
            o_message.m_withSize = in.ReadInt64(o_message.m_size);
    }
    else
    {
        in.ReadString(o_message.m_reason, MAX_TEXT);
    }
    return in.Ok() && o_message.m_size >= 0;
}

bool DecodeFileName(const char* ip_data, size_t i_size, std::string& o_file)
{
    InputStream in(ip_data, i_size);
    in.ReadString(o_file, MAX_TEXT);
    return in.Ok();
}

bool DecodeUploadDenied(const char* ip_data, size_t i_size, UploadDenied& o_message)
{
    InputStream in(ip_data, i_size);
    in.ReadString(o_message.m_file, MAX_TEXT);
    in.ReadString(o_message.m_reason, MAX_TEXT);
    return in.Ok();
}

bool DecodePlaceInLine(const char* ip_data, size_t i_size, PlaceInLine& o_message)
{
    InputStream in(ip_data, i_size);
    quint32 place = 0;
    in.ReadString(o_message.m_file, MAX_TEXT);
    in.ReadUInt32(place);
    if (!in.Ok() || place > quint32(std::numeric_limits<int>::max()))
        return false;
    o_message.m_place = int(place);
    return true;
}
}
