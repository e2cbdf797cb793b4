#pragma once
// The fields of every message a peer sends, decoded without a socket. Each
// decoder takes the bytes that follow the uint32 code (for the compressed
// messages 5, 9 and 37: the inflated body), reads every field through a
// checked InputStream and returns false for a malformed message, in which
// case its output is unspecified. Bytes after the last known field are
// ignored. PM_GET_SHARED_FILE_LIST (4) has no fields and no decoder.

#include "FileInfo.h"
#include "ProtocolCodes.h"

#include <QtGlobal>

class InputStream;

#include <cstddef>
#include <string>
#include <vector>

namespace PeerDecoders
{
// Bounds of text fields, checked before anything is allocated.
constexpr size_t MAX_USER_NAME = 1024;
constexpr size_t MAX_TYPE = 16;
constexpr size_t MAX_TEXT = MAX_FILE_NAME_LENGTH;
constexpr quint32 MAX_TABLE_ENTRIES = 65536;

// "P", "F" or "D".
bool IsConnectionType(const std::string& i_type);

// PM_PEER_INIT (1001): a non-empty user name and a known connection type.
struct PeerInit
{
    std::string m_user;
    std::string m_type;
    quint32 m_token = 0;
};
bool DecodePeerInit(const char* ip_data, size_t i_size, PeerInit& o_message);

// PM_PIERCE_FIREWALL (1002).
bool DecodePierceFirewall(const char* ip_data, size_t i_size, quint32& o_token);

// PM_SHARED_FILE_LIST (5), inflated. Records whose present byte is 0 are
// skipped; a folder listed twice gathers the files of both.
struct SharedFileList
{
    FileInfoMap m_share;
    AttributeTranslationTable m_table;
};
bool DecodeSharedFileList(const char* ip_data, size_t i_size, SharedFileList& o_message);

// PM_FILE_SEARCH_RESULT (9), inflated. m_files keeps the wire order,
// records whose present byte is 0 left out.
struct SearchResult
{
    std::string m_user;
    quint32 m_req = 0;
    std::vector<FileInfo> m_files;
    bool m_freeSlot = false;
    quint32 m_speed = 0;
    quint32 m_queued = 0;
    AttributeTranslationTable m_table;
};
bool DecodeSearchResult(const char* ip_data, size_t i_size, SearchResult& o_message);
// Its first fields alone, the replier's name and the request number, which
// take at most SEARCH_RESULT_HEAD bytes.
constexpr size_t SEARCH_RESULT_HEAD = 4 + MAX_USER_NAME + 4;
bool DecodeSearchResultHead(InputStream& i_in, std::string& o_user, quint32& o_req);

// PM_GET_SHARED_FILES_IN_FOLDER (36).
struct GetSharedFilesInFolder
{
    quint32 m_req = 0;
    std::string m_folder;
};
bool DecodeGetSharedFilesInFolder(const char* ip_data, size_t i_size,
                                  GetSharedFilesInFolder& o_message);

// PM_SHARED_FILES_IN_FOLDER (37), inflated. Nothing asks for the records
// themselves: they are checked and counted.
struct SharedFilesInFolder
{
    quint32 m_req = 0;
    std::string m_folder;
    size_t m_fileCount = 0;
};
bool DecodeSharedFilesInFolder(const char* ip_data, size_t i_size, SharedFilesInFolder& o_message);

// PM_TRANSFER_REQUEST (40). The size is optional (0 when absent); a
// negative one is malformed.
struct TransferRequest
{
    quint32 m_direction = 0;
    quint32 m_req = 0;
    std::string m_file;
    qint64 m_size = 0;
};
bool DecodeTransferRequest(const char* ip_data, size_t i_size, TransferRequest& o_message);

// PM_TRANSFER_RESPONSE (41). Allowed: an optional size; refused: a reason.
struct TransferResponse
{
    quint32 m_req = 0;
    bool m_allowed = false;
    bool m_withSize = false;
    qint64 m_size = 0;
    std::string m_reason;
};
bool DecodeTransferResponse(const char* ip_data, size_t i_size, TransferResponse& o_message);

// PM_QUEUE_UPLOAD (43), PM_UPLOAD_FAILED (46) and
// PM_UPLOAD_PLACE_IN_LINE_REQUEST (51): one file name.
bool DecodeFileName(const char* ip_data, size_t i_size, std::string& o_file);

// PM_UPLOAD_DENIED (50).
struct UploadDenied
{
    std::string m_file;
    std::string m_reason;
};
bool DecodeUploadDenied(const char* ip_data, size_t i_size, UploadDenied& o_message);

// PM_UPLOAD_PLACE_IN_LINE (1003); a place beyond int is malformed.
struct PlaceInLine
{
    std::string m_file;
    int m_place = 0;
};
bool DecodePlaceInLine(const char* ip_data, size_t i_size, PlaceInLine& o_message);
}
