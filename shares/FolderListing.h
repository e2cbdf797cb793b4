#pragma once
// Folder listings for the share walk. A walk spends most of its time in
// system calls (one directory read per folder, one stat per file), so the
// folders it will enter next are listed ahead on worker threads while the
// main thread stores the files of the one it is in. Nothing here touches
// the store.

#include <QMutex>
#include <QThreadPool>

#include <atomic>

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

// The regular files and folders of a folder, links followed, without
// hidden entries, sorted by name ignoring case: what a listing of files
// and folders without "." and ".." gives, at one system call per file and
// none per folder that is no link. False when the folder cannot be listed.
// Safe on any thread.
bool ListFolder(const std::string& i_path, std::vector<FolderEntry>& o_entries);

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
    bool Take(const std::string& i_path, std::vector<FolderEntry>& o_entries);

private:
    struct Job;
    // Worker side: reads ahead the subfolders of a folder just listed.
    void ReadAheadBelow(const std::string& i_path, const std::vector<FolderEntry>& i_entries);

    // Entries listed and not yet taken, beyond which workers stop going
    // deeper on their own: about a megabyte.
    static constexpr size_t MAX_WAITING_ENTRIES = 8192;

    QThreadPool m_workers;
    QMutex m_mutex;   // guards m_jobs, which workers add to
    std::unordered_map<std::string, std::unique_ptr<Job>> m_jobs;
    std::atomic<size_t> m_waitingEntries{0};
    std::atomic<bool> m_stopping{false};
};
