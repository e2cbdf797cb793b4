#include "SharedFoldersManager.h"

#include "DNetManager.h"
#include "DataSaver.h"
#include "GeneralFunctions.h"
#include "HeapMemory.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "TextConversion.h"
#include "server.h"

#include <algorithm>

#include <cstdlib>

SharedFoldersManager* sharedFoldersManager = nullptr;

SharedFoldersManager::SharedFoldersManager(QObject* ip_parent) : QObject(ip_parent)
{
    sharedFoldersManager = this;
    gp_shareListProvider = this;

    // The local share.
    d->NewType("shared_folder", true, false, true);
    SaveType("shared_folder");

    d->NewType("shared_file", false, true, true);
    d->NewType("shared_file_name", false, false, true);
    d->NewType("shared_file_lowercase_name", false, false, true);
    d->NewType("shared_file_folder", false, false, true);
    d->NewType("shared_file_folder_lowercase_name", false, false, true);
    d->NewType("shared_file_size", false, false, true);
    d->NewType("shared_public", false, true, true);
    d->NewType("shared_userlist", false, true, true);
    d->NewType("is_scanned", false, true, true);

    Relate(T("shared_folder"), T("shared_file_folder"), Many, Many);
    Relate(T("shared_file"), T("shared_file_folder"), Many, One);
    Relate(T("shared_file_folder"), T("shared_file_folder_lowercase_name"), Many, One);
    Relate(T("shared_file"), T("shared_file_name"), Many, One);
    Relate(T("shared_file_name"), T("shared_file_lowercase_name"), Many, One);
    Relate(T("shared_file"), T("shared_file_size"), Many, One);
    Relate(T("shared_folder"), T("shared_public"), Many, One);
    Relate(T("shared_folder"), T("shared_userlist"), Many, One);
    Relate(T("shared_folder"), T("user_list_group"), Many, Many);
    SaveByConnection("shared_public", "shared_folder");
    SaveByConnection("shared_userlist", "shared_folder");

    // These exist before the state file loads, so loaded folders and names
    // get their lower-case links as they appear.
    AddHandler(T("shared_file_name")->itemAdded, this, &SharedFoldersManager::OnSharedFileNameAdded);
    AddHandler(T("shared_file_folder")->itemAdded, this, &SharedFoldersManager::OnSharedFileFolderAdded);
    // An unshared folder takes its files with it at once: the sweep alone
    // would keep them, since shared name and token items still reach them.
    AddHandler(T("shared_folder")->itemRemoved, this, &SharedFoldersManager::OnSharedFolderRemoved);

    // Share lists received from other users.
    d->NewType("user_share", true, true, true);
    d->NewType("user_share_loaded", false, true, true);
    d->NewType("user_share_folder", false, true, true);
    d->NewType("user_share_folder_parent", false, true, true);
    d->NewType("user_share_folder_child", false, true, true);
    d->NewType("user_share_folder_name", false, false, true);
    d->NewType("user_share_file", false, true, true);
    d->NewType("user_share_file_name", false, false, true);

    Relate(T("user_share"), T("user"), One, One);
    Relate(T("user_share"), T("user_share_loaded"), Many, One);
    Relate(T("user_share"), T("user_share_folder"), One, Many);
    Relate(T("user_share_folder"), T("user_share_folder_name"), Many, One);
    Relate(T("user_share_folder"), T("user_share_file"), One, Many);
    Relate(T("user_share_folder"), T("user_share_folder_parent"), One, One);
    Relate(T("user_share_folder"), T("user_share_folder_child"), One, Many);
    Relate(T("user_share_folder_parent"), T("user_share_folder_child"), One, One);
    Relate(T("user_share_file"), T("user_share_file_name"), Many, One);
    Relate(T("user_share_file"), T("file_size"), Many, One);

    // Each connection is made only when its sender exists: the manager is
    // also built on its own.
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserShare, this, &SharedFoldersManager::OnUserShare);

    // The search-token index.
    d->NewType("search_token", false, false, true);
    Relate(T("search_token"), T("shared_file"), Many, Many);
    // Tokens gain files only through the walk, which clears the searches'
    // arrays itself once per file rather than once per link; they lose
    // files wherever files go.
    AddHandler(T("search_token")->disconnected, this, &SharedFoldersManager::OnSearchTokenLinksChanged);
    if (dnetManager)
        connect(dnetManager, &DNetManager::DNetSearchRequest, this, &SharedFoldersManager::OnDNetSearchRequest);

    // Scan results of local files.
    for (const char* attribute : AUDIO_ATTRIBUTE_TYPES)
        Relate(T("shared_file"), T(attribute), Many, One);
    Relate(T("shared_file"), T("is_scanned"), Many, One);
    SaveType("is_scanned");
    SaveByConnection("shared_file", "shared_file_folder");
    SaveByConnection("shared_file_folder", "shared_folder");
    for (const char* type : {"shared_file_name", "shared_file_size", "mpeg_version", "channel_mode",
                             "audio_frequency", "bitrate_mode", "bitrate"})
        SaveByConnection(type, "shared_file");

    // Attributes of files in received share lists.
    Relate(T("user_share_file"), T("bitrate_mode"), Many, One);
    Relate(T("user_share_file"), T("bitrate"), Many, One);
    Relate(T("user_share_file"), T("length_seconds"), Many, One);

    // The MP3 scanner works on a thread of its own; requests go into its
    // queue at once, results come back as queued calls. Then the login
    // report and the own statistics of the server connection.
    m_mp3ScannerThread.start(QThread::InheritPriority);
    m_mp3Scanner.moveToThread(&m_mp3ScannerThread);
    connect(this, &SharedFoldersManager::MP3ScanRequired, &m_mp3Scanner, &MP3Scanner::QueueScan,
            Qt::DirectConnection);
    connect(&m_mp3Scanner, &MP3Scanner::MP3Scanned, this, &SharedFoldersManager::OnMP3Scanned,
            Qt::QueuedConnection);
    if (gp_server)
    {
        connect(gp_server, &Server::Connected, this, &SharedFoldersManager::OnConnectedToServer);
        connect(gp_server, &Server::ReceivedUserStats, this, &SharedFoldersManager::OnReceivedUserStats);
    }

    // Users denied the local share.
    d->NewType("unshared", false, true, true);
    Relate(T("user"), T("unshared"), Many, One);
    SaveType("unshared");
    SaveByConnection("user", "unshared");

    // Replies kept for other users go whenever what they hold changes.
    WatchSharedRecords();
}

SharedFoldersManager::~SharedFoldersManager()
{
    // A scan in progress stops at its next block; requests still queued are
    // dropped with the scanner, results still queued with this object.
    m_mp3Scanner.Quit();
    m_mp3ScannerThread.exit(0);
    m_mp3ScannerThread.wait();
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
    if (gp_shareListProvider == this)
        gp_shareListProvider = nullptr;
}

void SharedFoldersManager::Init()
{
    CleanSharedFolderPaths();
    AddHandler(T("shared_folder")->itemAdded, this, &SharedFoldersManager::OnSharedFolderAdded);
    RescanShares();
}

void SharedFoldersManager::CleanSharedFolderPaths()
{
    std::vector<Item*> unclean;
    for (Item* root : g("shared_folder"))
        if (CleanFolderPath(root->GetValue()) != root->GetValue())
            unclean.push_back(root);
    for (Item* root : unclean)
    {
        ItemPtr old(root);
        ItemPtr clean = T("shared_folder")->GetItem(CleanFolderPath(root->GetValue()));
        // Its folders first, so that removing it takes none of them.
        for (const char* type : {"shared_public", "shared_userlist", "user_list_group", "shared_file_folder"})
            for (Item* linked : old.GetItems(type))
                clean += linked;
        old.Remove();
    }
}

void SharedFoldersManager::RescanShares()
{
    m_filesAdded = 0;
    m_filesRemoved = 0;

    // Each share's folders are walked again; those the walk no longer
    // reaches leave the share afterwards, while those it reaches keep their
    // link unbroken, so an unchanged share changes nothing in the store.
    std::vector<Item*> walked;
    for (Item* root : g("shared_folder"))
    {
        const ItemSet before = ItemPtr(root).GetItems("shared_file_folder");
        walked.clear();
        mp_walkedFolders = &walked;
        OnSharedFolderAdded(root);
        mp_walkedFolders = nullptr;
        std::sort(walked.begin(), walked.end());
        for (Item* folder : before)
            if (!std::binary_search(walked.begin(), walked.end(), folder))
                root->Disconnect(folder);
    }

    // What no walk reached any more has left the shares. It is removed here
    // rather than left to the sweep, which would keep whatever a shared name,
    // size or token item still reaches, and count it again at every rescan.
    // Files that lost their folder altogether go the same way.
    ItemSet orphans = g("shared_file_folder").NotConnected("shared_folder");
    ItemSet files = orphans.GetItems("shared_file");
    files.Add(g("shared_file").NotConnected("shared_file_folder"));
    m_filesRemoved += static_cast<int>(files.size());
    files.Remove();
    orphans.Remove();

    d->RemoveDisconnectedItems();

    LogLeftOut();
    emit SharedFilesRescanned(m_filesAdded, m_filesRemoved);
}

void SharedFoldersManager::OnSharedFolderAdded(Item* ip_item)
{
    AddSharedFiles(ip_item->GetValue(), ip_item->GetValue());
}

void SharedFoldersManager::OnSharedFolderRemoved(Item* ip_item)
{
    // Runs before the item's connections are dropped: a folder still linked
    // to another share stays.
    for (Item* folder : ip_item->GetItems("shared_file_folder"))
    {
        bool inOtherShare = false;
        for (Item* root : folder->GetItems("shared_folder"))
            if (root != ip_item)
                inOtherShare = true;
        if (!inOtherShare)
            RemoveFolderWithFiles(folder);
    }
}

void SharedFoldersManager::RemoveFolderWithFiles(Item* ip_folder)
{
    if (ip_folder->IsRemoved())
        return;
    ip_folder->GetItems("shared_file").Remove();
    ip_folder->Remove();
}

void SharedFoldersManager::RemoveUserShare(std::string i_user)
{
    ItemPtr user = T("user")->HasItem(i_user);
    ItemPtr share = user["user_share"];
    if (!share)
        return;
    // Folder by folder: the files of every folder in one set would first be
    // gathered and put in order, all of them.
    Type* fileType = T("user_share_file");
    ItemSet folders = share.GetItems("user_share_folder");
    for (Item* folder : folders)
        folder->GetItems(fileType).Remove();
    folders.Remove();
    share.Remove();
    // The link, loaded, name, size and row node items left unconnected.
    d->RemoveDisconnectedItems();
    // The allocator keeps freed blocks for reuse: a large list's memory goes
    // back to the system only when asked. Once the caller's turn is over,
    // so that what a closing view frees after this goes back too.
    heapmemory::ReturnFreeMemorySoon();
}

void SharedFoldersManager::OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency,
                                        bool i_isVBR, int i_bitrate)
{
    Log(QStringLiteral("MP3 Scanning"), 1, QStringLiteral("Scanned %1").arg(i_file));
    ItemPtr file = GetSharedFileItem(ToUtf8(i_file));
    if (!file)
        return;
    file += T("mpeg_version")->GetItem(std::to_string(i_mpegVersion));
    file += T("channel_mode")->GetItem(ToLatin1(i_channelMode));
    file += T("audio_frequency")->GetItem(std::to_string(i_frequency));
    file += T("bitrate_mode")->GetItem(i_isVBR ? "vbr" : "cbr");
    file += T("bitrate")->GetItem(std::to_string(i_bitrate));
    file += T("is_scanned")->GetGlobalNullItem();
}

QString SharedFoldersManager::GetFileItemDisplayString(ItemPtr i_file) const
{
    QString text;
    if (!i_file)
        return text;
    if (ItemPtr bitrate = i_file["bitrate"])
        text += QString::number(bitrate.AsInt());
    bool vbr = false;
    bool cbr = false;
    for (Item* mode : i_file.GetItems("bitrate_mode"))
    {
        vbr = vbr || mode->GetValue() == "vbr";
        cbr = cbr || mode->GetValue() == "cbr";
    }
    if (vbr)
        text += QStringLiteral(" VBR");
    else if (cbr)
        text += QStringLiteral(" CBR");
    if (ItemPtr length = i_file["length_seconds"])
        text += QStringLiteral(", ") + FormatSeconds(length.AsInt());
    return text;
}
