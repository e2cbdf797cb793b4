#pragma once
// The shared-files manager: turns the folders the user shares into store
// items, keeps them in step with the disk, keeps the search-token index,
// answers who may see which shared folder and file, answers other users'
// searches, share-list and folder requests, and stores the share lists they
// send. One object, global `sharedFoldersManager`; everything here runs on
// the main thread except the MP3 worker thread it owns.

#include "Data.h"
#include "FileInfo.h"
#include "FolderListing.h"
#include "KeptReplies.h"
#include "MP3Scanner.h"
#include "PeerProviders.h"
#include "SearchTokenFiles.h"
#include "UserStats.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <functional>
#include <set>
#include <string>
#include <vector>

struct ShareWalk;

class SharedFoldersManager : public QObject, public DataHandler, public ShareListProvider
{
    Q_OBJECT

public:
    // Creates every type, relation and saved type of the shared files and
    // the lower-case name handlers. Needs `dataSaver` and the types of the
    // server connection (`user`, `user_list_group`) and of the peer network
    // (`file_size`, `length_seconds`, `mpeg_version`, `channel_mode`,
    // `audio_frequency`, `bitrate_mode`, `bitrate`); throws
    // TypeNotFoundException when one is missing. Sets `sharedFoldersManager`.
    explicit SharedFoldersManager(QObject* ip_parent = nullptr);
    // Stops and waits for the MP3 worker thread.
    ~SharedFoldersManager() override;

    // After the state file is loaded: folders added from now on are walked
    // at once; then everything is rescanned.
    void Init();

    // Walks every shared folder again, removes the files and folders that
    // left the shares, sweeps the store, then emits SharedFilesRescanned.
    void RescanShares();

    // Discards the stored share list of another user, if there is one.
    void RemoveUserShare(std::string i_user);

    // "192 CBR, 4m5s": the bitrate, its mode and the play length of any item
    // that carries `bitrate`, `bitrate_mode` and `length_seconds`; the parts
    // it lacks are left out.
    QString GetFileItemDisplayString(ItemPtr i_file) const;

    // ---- visibility

    // The `shared_folder` items the user may see; never creates the user.
    // i_reached false: the name is only claimed by whoever asks, who sees
    // what a user on no list and in no group sees (nothing when the name is
    // excluded).
    ItemSet GetUserSharedFolders(std::string i_user, bool i_reached = true);
    // Whether the user may have that `shared_file` (creates a missing `user`).
    bool IsFileSharedWithUser(ItemPtr i_file, std::string i_user, bool i_reached = true);
    // Whether the user sees more folders than a stranger.
    bool ShowsMoreThanToStrangers(const std::string& i_user) override;
    // The `shared_file` a local path ("/" separators) names, matched without
    // regard to the case of ASCII letters; an exact-case match is preferred.
    ItemPtr GetSharedFileItem(std::string i_path);
    // The local path of a `shared_file`: its folder, "/", its name.
    static std::string SharedFilePath(ItemPtr i_file);
    // Looks at a shared file as it is now, with one stat: false when it is
    // gone or is no regular file. A size other than the recorded one becomes
    // the record, as a rescan would make it, so that replies tell the truth
    // from then on.
    bool CheckSharedFileOnDisk(ItemPtr i_file, qint64& o_size);

    // ---- answers to other users

    // Answers a search with the matching files the searcher may see, when
    // there are 1 to 200 of them; otherwise sends nothing.
    void ProcessSearch(std::string i_user, unsigned int i_req, std::string i_searchText);
    // The search-result message (code 9) ProcessSearch sends; empty when no
    // answer is due.
    MemStream GetSearchResultMessage(std::string i_user, unsigned int i_req, std::string i_searchText);
    // Visits the `shared_file` items linked to every one of the (index-form)
    // tokens, in creation order, until the visitor returns false; none when
    // there is no token or one is not in the index. The visitor must not
    // change the index.
    void ForEachSearchCandidate(const std::set<std::string>& i_tokens,
                                const std::function<bool(Item*)>& i_visit) const;
    // The share-list message (code 5) for the user: every folder the user
    // may see. Empty when it cannot be compressed.
    MemStream GetSharedFilesMessage(std::string i_user);
    // The same message as the peer network sends it: one copy, kept while
    // the share is unchanged, for everyone who sees the same folders.
    QByteArray GetSharedFilesReply(std::string i_user, bool i_reached) override;
    // The folder-contents message (code 37) for a folder in wire form; empty
    // when the user may not see a folder stored under exactly that path.
    MemStream GetFolderContentsMessage(std::string i_user, unsigned int i_req, std::string i_folder,
                                       bool i_reached) override;
    // At least the size of that message, from its kept tail: nothing is
    // copied or compressed for a party that may never read the answer.
    size_t FolderContentsSize(std::string i_user, std::string i_folder, bool i_reached) override;
    // The record of a shared file as replies carry it, under the given
    // name; MP3 files carry their bitrate and mode.
    FileInfo GetSharedFileInfo(ItemPtr i_file, std::string i_name) const;
    // Drops the share-list and folder replies kept for other users. Every
    // store change that alters what they hold calls it already (share
    // roots and their visibility, folders, files, names, sizes, bitrates);
    // a change to a shared file's record made some other way calls it after.
    void ShareChanged();
    size_t KeptReplyCount() const { return m_keptReplies.Count(); }

    // ---- folder walk and index

    // Walks i_folder (recursively) as part of the share rooted at i_root;
    // both UTF-8 paths.
    void AddSharedFiles(std::string i_root, std::string i_folder);
    // A folder path as shares store it: no doubled or trailing separators,
    // no "." or ".." parts.
    static std::string CleanFolderPath(const std::string& i_path);
    // Connects a `shared_file` to the `search_token`s of its folder and name.
    void TokenizeSharedFile(ItemPtr i_file);
    // The distinct index tokens of a text (ASCII lower-cased first).
    static std::set<std::string> GetSearchTokens(const std::string& i_text);
    // The form of the index's tokens: ASCII letters lower-cased, every
    // other byte as it is.
    static std::string ToIndexForm(std::string i_text);
    // True for a byte below 0x80 that is not an ASCII letter or digit.
    static bool IsSearchTokenSeparator(unsigned char i_c);

    // Store handlers.
    void OnSharedFolderAdded(Item* ip_item);
    void OnSharedFolderRemoved(Item* ip_item);
    void OnSharedFileFolderAdded(Item* ip_item);
    void OnSharedFileNameAdded(Item* ip_item);
    void OnSearchTokenLinksChanged(ConnectionInfo& i_info);
    void OnSharedRecordChanged(ConnectionInfo& i_info);

public slots:
    // Stores the list unless the user has one stored; a stored list is
    // taken out of i_share folder by folder.
    void OnUserShare(std::string i_user, FileInfoMap& i_share, AttributeTranslationTable& i_translationTable);
    void OnDNetSearchRequest(std::string i_user, unsigned int i_req, std::string i_searchText);
    // A result of the scanner's thread: stored on the file's item, which is
    // looked up anew since the file may have left the share meanwhile.
    void OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency, bool i_isVBR,
                      int i_bitrate);
    void OnConnectedToServer();
    void OnReceivedUserStats(std::string i_user, UserStats i_stats);

signals:
    void MP3ScanRequired(QString i_file);
    void SharedFilesRescanned(int i_filesAdded, int i_filesRemoved);

private:
    void RemoveFolderWithFiles(Item* ip_folder);
    // Registers the store handlers that call ShareChanged.
    void WatchSharedRecords();
    // Shares loaded under a path that is not clean become the share of the
    // clean path, with their audiences and folders; two spellings of one
    // folder become one share.
    void CleanSharedFolderPaths();
    // A known file found with another size: the record takes it, and the
    // scan results, which described other content, go.
    void RecordNewSize(ItemPtr i_file, const std::string& i_size);
    // The walk of one folder of the share rooted at ip_root, and of what
    // lies below it; i_mayLieAnywhere for a share's own path and a link,
    // whose folder may lie within the unfinished downloads.
    void WalkSharedFolder(Item* ip_root, const std::string& i_folder, ShareWalk& io_walk, bool i_mayLieAnywhere);
    // The one line of a scan on what it left out, if anything; then the
    // counts start again.
    void LogLeftOut();
    // Whether a `shared_file_folder` lies in one of the given share roots.
    static bool IsInVisibleShare(Item* ip_folder, const ItemSet& i_visibleRoots);

    // The scan results a `shared_file` carries, one value of each.
    static constexpr const char* AUDIO_ATTRIBUTE_TYPES[5] = {"mpeg_version", "channel_mode", "audio_frequency",
                                                             "bitrate_mode", "bitrate"};

    QThread m_mp3ScannerThread;
    // Lives on m_mp3ScannerThread; destroyed after that thread has stopped.
    MP3Scanner m_mp3Scanner;
    int m_filesAdded = 0;
    int m_filesRemoved = 0;
    // What the walks of the running scan left out.
    LeftOutEntries m_leftOut;
    // While RescanShares walks a share: the folder items the walk reached.
    std::vector<Item*>* mp_walkedFolders = nullptr;
    // Filled by searches, emptied whenever a token's files change.
    mutable SearchTokenFiles m_searchTokenFiles;
    // Share-list and folder replies, until the share changes.
    KeptReplies m_keptReplies;
    // The kept contents of a folder the user may see under exactly that
    // path, made once; null when there is none.
    KeptReplies::Reply KeptFolderContents(const std::string& i_user, const std::string& i_folder, bool i_reached);
};

extern SharedFoldersManager* sharedFoldersManager;
