#pragma once
// Folder listings for the share walk. A walk spends most of its time in
// system calls (one directory read per folder, one stat per file), so the
// folders it will enter next are listed ahead on worker threads while the
// main thread stores the files of the one it is in. Nothing here touches
// the store.

#include <QMutex>
#include <QThreadPool>

#include <atomic>
#include <functional>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// One entry of a folder listing, as the walk needs it.
struct FolderEntry
{
    std::string name;
    long long size = 0;
    bool isFolder = false;
    bool isLink = false;
    bool ascii = true;
};

// A real folder, whatever path leads to it.
struct FolderId
{
    unsigned long long device = 0;
    unsigned long long inode = 0;
    bool operator==(const FolderId& i_other) const
    {
        return device == i_other.device && inode == i_other.inode;
    }
};

struct FolderIdHash
{
    size_t operator()(const FolderId& i_id) const noexcept
    {
        return std::hash<unsigned long long>()(i_id.inode * 0x9E3779B97F4A7C15ull ^ i_id.device);
    }
};

// What listings leave out of the share, by reason.
struct LeftOutEntries
{
    int unreadable = 0;   // files the client may not read
    int backslash = 0;    // names holding "\", the wire's separator
    int notUtf8 = 0;      // names that are not valid UTF-8

    void Add(const LeftOutEntries& i_other)
    {
        unreadable += i_other.unreadable;
        backslash += i_other.backslash;
        notUtf8 += i_other.notUtf8;
    }
    bool Any() const { return unreadable || backslash || notUtf8; }
};

// A folder as its listing finds it.
struct FolderContents
{
    // False when the folder is gone or cannot be read; then nothing else
    // below is set.
    bool listed = false;
    FolderId id;
    // The type of the pseudo file system ("proc", "sysfs", ...) the folder
    // is on; such a folder holds nothing to share, and is not listed.
    std::string pseudoFileSystem;
    std::vector<FolderEntry> entries;
    LeftOutEntries leftOut;
};

// The mounted file systems of this process that hold nothing to share,
// read once from its mount table. Safe on any thread once built.
class PseudoFileSystems
{
public:
    PseudoFileSystems();
    // The pseudo file system of an open folder on that device; "" for any
    // other.
    std::string TypeOf(int i_folderFd, unsigned long long i_device) const;

private:
    // The type of every mount, by device.
    std::unordered_map<unsigned long long, std::string> m_mountTypes;
};

// The regular files and folders of a folder, links followed, without
// hidden entries, sorted by name ignoring case: what a listing of files
// and folders without "." and ".." gives, at one system call per file and
// none per folder that is no link. Left out, and counted: files the client
// may not read, and names the wire cannot carry. Safe on any thread.
void ListFolder(const std::string& i_path, const PseudoFileSystems& i_fileSystems, FolderContents& o_contents);

// The listings of one walk. Called from the walk's thread only; the workers
// it starts are done when it is destroyed.
class FolderListing
{
public:
    FolderListing();
    ~FolderListing();
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    // Starts listing these folders on the workers, deeper folders first,
    // since the walk is depth first. A worker that has listed a folder goes
    // on with the folders below it.
    void ReadAhead(const std::vector<std::string>& i_paths);
    // The listing of a folder: the one read ahead if there is one (waiting
    // for it, or reading it here if no worker has begun it), else read now.
    void Take(const std::string& i_path, FolderContents& o_contents);

private:
    struct Job;
    // Worker side: reads ahead the subfolders of a folder just listed.
    void ReadAheadBelow(const std::string& i_path, const std::vector<FolderEntry>& i_entries);

    // Entries listed and not yet taken, beyond which workers stop going
    // deeper on their own: about a megabyte.
    static constexpr size_t MAX_WAITING_ENTRIES = 8192;

    const PseudoFileSystems m_fileSystems;
    QThreadPool m_workers;
    QMutex m_mutex;   // guards m_jobs, which workers add to
    std::unordered_map<std::string, std::unique_ptr<Job>> m_jobs;
    std::atomic<size_t> m_waitingEntries{0};
    std::atomic<bool> m_stopping{false};
};
