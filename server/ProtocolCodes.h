#pragma once
// Every message code and wire limit of the client, in one place.
// Codes below 1000 are fixed by the network; the 1000 block is our own
// and may be renumbered here without touching any other file.

#include <QtGlobal>

// Messages on the connection to the central server. A reply uses the
// code of its request.
enum ServerMessageCode : quint32
{
    SM_ADD_USER = 5,
    SM_SHARED_FOLDERS_FILES = 35,
    SM_GET_USER_STATS = 36,
    SM_SEND_UPLOAD_SPEED = 121,
    SM_LOGIN = 1001,
    SM_SET_LISTEN_PORTS = 1002,
    SM_GET_PEER_ADDRESS = 1003,
    SM_CONNECT_TO_PEER = 1004,
    SM_CANNOT_CONNECT = 1005,
    SM_USER_STATUS = 1006,
    SM_UNTRACK_USER = 1007,
    SM_PRIVILEGED_USERS = 1008,
    SM_GET_OWN_PRIVILEGES = 1009,
    SM_ROOM_LIST = 1010,
    SM_ENTER_ROOM = 1011,
    SM_LEAVE_ROOM = 1012,
    SM_USER_JOINED_ROOM = 1013,
    SM_USER_LEFT_ROOM = 1014,
    SM_ROOM_CHAT = 1015,
    SM_PRIVATE_CHAT = 1016,
    SM_PRIVATE_CHAT_ACK = 1017,
    SM_FILE_SEARCH = 1018,
    SM_WISH_LIST_SEARCH = 1019,
    SM_SEARCH_CORRELATIONS = 1020,
    SM_WISH_LIST_INTERVAL = 1021,
    SM_HAVE_NO_PARENT = 1022,
    SM_BRANCH_LEVEL = 1023,
    SM_BRANCH_ROOT = 1024,
    SM_POSSIBLE_PARENTS = 1025,
    SM_DISTRIBUTED_SEARCH = 1026
};

// Messages between clients. 1001 and 1002 are only valid as the first
// frame of a connection.
enum PeerMessageCode : quint32
{
    PM_GET_SHARED_FILE_LIST = 4,
    PM_SHARED_FILE_LIST = 5,             // compressed body
    PM_FILE_SEARCH_RESULT = 9,           // compressed body
    PM_GET_SHARED_FILES_IN_FOLDER = 36,
    PM_SHARED_FILES_IN_FOLDER = 37,      // compressed body
    PM_TRANSFER_REQUEST = 40,
    PM_TRANSFER_RESPONSE = 41,
    PM_QUEUE_UPLOAD = 43,
    PM_UPLOAD_FAILED = 46,
    PM_UPLOAD_DENIED = 50,
    PM_UPLOAD_PLACE_IN_LINE_REQUEST = 51,
    PM_PEER_INIT = 1001,
    PM_PIERCE_FIREWALL = 1002,
    PM_UPLOAD_PLACE_IN_LINE = 1003
};

// Messages on distributed-network ("D") connections.
enum DistributedMessageCode : quint32
{
    DM_BRANCH_LEVEL = 1101,
    DM_BRANCH_ROOT = 1102,
    DM_SEARCH_REQUEST = 1103
};

// Direction field of PM_TRANSFER_REQUEST: the sender will upload.
constexpr quint32 TRANSFER_DIRECTION_UPLOAD = 1;

// Login protocol version sent with SM_LOGIN.
constexpr quint32 LOGIN_PROTOCOL_VERSION = 1;

// Largest frame length L (the bytes after the length word) per connection
// kind; a larger claim closes the connection.
constexpr quint32 MAX_SERVER_FRAME = 16u * 1024 * 1024;
constexpr quint32 MAX_PEER_FRAME = 64u * 1024 * 1024;
constexpr quint32 MAX_DISTRIBUTED_FRAME = 1u * 1024 * 1024;
// Smallest valid L: the message code alone.
constexpr quint32 MIN_FRAME = 4;

// A compressed peer body may not inflate beyond this.
constexpr quint32 MAX_INFLATED_BODY = 256u * 1024 * 1024;

// Record limits.
constexpr quint32 MAX_FILE_NAME_LENGTH = 131072;    // FileInfo name, bytes
constexpr quint32 MAX_ATTRIBUTE_PAIRS = 1024;       // AttributeMap pairs
constexpr quint32 MAX_FOLDER_RECORDS = 131072;      // files in one folder record
// Only a share list this client asked for is stored, at some 550 bytes a
// file: these bounds keep one within about 2 GiB.
constexpr quint32 MAX_SHARE_LIST_FOLDERS = 500000;
constexpr quint32 MAX_SHARE_LIST_FILES = 4000000;
// A search reply answering one of our searches inflates to no more than
// its record limit can need, at 256 bytes a file (a path of some 200 bytes
// with its attributes), plus its few fixed fields.
constexpr quint32 MAX_SEARCH_RESULT_BODY = MAX_FOLDER_RECORDS * 256u + 64u * 1024;
// A frame a peer sends without being asked (a request, a transfer
// negotiation, a place in line) holds at most two texts at their limit and
// a few fixed fields. Only replies to what this client asked for may be
// larger: a share list up to MAX_PEER_FRAME, a search reply up to its body
// cap (compressed, an honest body only shrinks).
constexpr quint32 MAX_PEER_REQUEST_FRAME = 2 * (4 + MAX_FILE_NAME_LENGTH) + 1024;
constexpr quint32 MAX_SEARCH_RESULT_FRAME = 4 + MAX_SEARCH_RESULT_BODY;
