#pragma once
// What the files of the transfer queue share: the log category, small
// helpers over the store, and the types under which each side of a
// transfer keeps its objects. Only the queue's own files include it.

#include "Data.h"
#include "LiveAddresses.h"
#include "TextConversion.h"

#include <QString>

#include <cstdint>
#include <string>

class QTcpSocket;

// The types under which a download or an upload entry keeps its status and
// its run-time objects.
struct TransferSide
{
    using TypeName = const char*;
    TypeName entry, status;
    // The objects that live while the transfer runs; the position is where
    // the next byte is written or read.
    TypeName thread, file, socket, position;
};

namespace TransferQueueInternal
{

inline constexpr const char* kCategory = "Transfer Queue";

inline constexpr TransferSide kDownloadSide{"download_entry", "download_entry_status", "download_thread",
                                            "download_file",  "download_socket",       "write_position"};
inline constexpr TransferSide kUploadSide{"upload_entry", "upload_entry_status", "upload_thread",
                                          "upload_file",  "upload_socket",       "read_position"};

inline QString Text(const std::string& i_bytes)
{
    return FromUtf8(i_bytes);
}

inline bool IsActiveStatus(Item* ip_status)
{
    return ip_status && ip_status->IsConnected("is_active");
}

inline bool IsOnline(ItemPtr i_user)
{
    return i_user.IsConnected("is_online");
}

inline QString SlashForm(QString i_path)
{
    return i_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// The size an upload was offered at, which its thread sends exactly.
inline qint64 OfferedSize(ItemPtr i_upload)
{
    ItemPtr offered = i_upload["file_size"];
    return offered ? offered.AsInt64() : i_upload["shared_file"]["shared_file_size"].AsInt64();
}

// The item of the type that the three items name together; null when one
// of them does not exist.
Item* ItemNamedBy(const char* ip_type, Item* ip_a, Item* ip_b, Item* ip_c);

// Drops a file connection that no transfer takes over.
void CloseFileConnection(QTcpSocket* ip_socket);

} // namespace TransferQueueInternal
