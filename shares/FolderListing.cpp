#include "FolderListing.h"

#include "TextConversion.h"

#include <QDir>
#include <QMutexLocker>
#include <QSemaphore>
#include <QThread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace
{

bool IsAscii(const std::string& i_text)
{
    for (char c : i_text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Names in the order of a folder listing: by name, ignoring case. ASCII
// names compare as their lower-cased bytes; any other name as lower-cased
// text, as the listing itself compares.
bool ListedBefore(const FolderEntry& i_a, const FolderEntry& i_b)
{
    if (i_a.ascii && i_b.ascii)
    {
        const size_t n = std::min(i_a.name.size(), i_b.name.size());
        for (size_t k = 0; k < n; ++k)
        {
            char a = i_a.name[k];
            char b = i_b.name[k];
            if (a >= 'A' && a <= 'Z')
                a = char(a - 'A' + 'a');
            if (b >= 'A' && b <= 'Z')
                b = char(b - 'A' + 'a');
            if (a != b)
                return static_cast<unsigned char>(a) < static_cast<unsigned char>(b);
        }
        return i_a.name.size() < i_b.name.size();
    }
    return FromUtf8(i_a.name).toLower() < FromUtf8(i_b.name).toLower();
}

} // namespace

bool ListFolder(const std::string& i_path, std::vector<FolderEntry>& o_entries)
{
    o_entries.clear();
    if (::access(i_path.c_str(), R_OK | X_OK) != 0)
        return false;
    const int fd = ::open(i_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir)
    {
        ::close(fd);
        return false;
    }
    while (const dirent* e = ::readdir(dir))
    {
        if (e->d_name[0] == '.')
            continue;
        FolderEntry entry;
        entry.name = e->d_name;
        entry.ascii = IsAscii(entry.name);
        // A name that is not UTF-8 does not survive the conversion to text
        // and back, so it names nothing the share could list.
        if (!entry.ascii && ToUtf8(FromUtf8(entry.name)) != entry.name)
            continue;
        struct stat st;
        if (e->d_type == DT_DIR)
        {
            entry.isFolder = true;
        }
        else
        {
            if (e->d_type == DT_UNKNOWN)
            {
                if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                entry.isLink = S_ISLNK(st.st_mode);
            }
            else
            {
                entry.isLink = e->d_type == DT_LNK;
            }
            if ((e->d_type != DT_UNKNOWN || entry.isLink) && ::fstatat(fd, e->d_name, &st, 0) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                entry.isFolder = true;
            else if (S_ISREG(st.st_mode))
                entry.size = static_cast<long long>(st.st_size);
            else
                continue;
        }
        o_entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(o_entries.begin(), o_entries.end(), ListedBefore);
    return true;
}

struct FolderListing::Job : QRunnable
{
    Job(FolderListing* ip_owner, std::string i_path) : mp_owner(ip_owner), path(std::move(i_path))
    {
        setAutoDelete(false);
    }
    void run() override
    {
        listed = ListFolder(path, entries);
        mp_owner->ReadAheadBelow(path, entries);
        done.release();
    }

    FolderListing* const mp_owner;
    const std::string path;
    std::vector<FolderEntry> entries;
    bool listed = false;
    QSemaphore done;
};

FolderListing::FolderListing()
{
    // A few workers keep well ahead of the store; more only contend for
    // the same directory locks.
    m_workers.setMaxThreadCount(std::clamp(QThread::idealThreadCount() - 1, 1, 4));
}

FolderListing::~FolderListing()
{
    // Listings the walk did not take (a folder it did not enter) are
    // dropped; none is running once the workers are done.
    m_stopping = true;
    m_workers.clear();
    m_workers.waitForDone();
}

void FolderListing::ReadAhead(const std::vector<std::string>& i_paths)
{
    QMutexLocker<QMutex> lock(&m_mutex);
    for (const std::string& path : i_paths)
    {
        auto [entry, added] = m_jobs.try_emplace(path);
        if (!added)
            continue;
        entry->second = std::make_unique<Job>(this, path);
        m_workers.start(entry->second.get(), int(std::count(path.begin(), path.end(), '/')));
    }
}

void FolderListing::ReadAheadBelow(const std::string& i_path, const std::vector<FolderEntry>& i_entries)
{
    // Only real subfolders: a link may lead back up, and the walk decides
    // on the main thread whether to follow it. Listings waiting to be taken
    // are bounded, so a walk far behind its workers holds little.
    const size_t waiting = m_waitingEntries.fetch_add(i_entries.size()) + i_entries.size();
    if (m_stopping || waiting > MAX_WAITING_ENTRIES)
        return;
    std::string base = ToUtf8(QDir::cleanPath(FromUtf8(i_path)));
    if (base.empty() || base.back() != '/')
        base += '/';
    std::vector<std::string> subfolders;
    for (const FolderEntry& entry : i_entries)
        if (entry.isFolder && !entry.isLink)
            subfolders.push_back(base + entry.name);
    if (!subfolders.empty())
        ReadAhead(subfolders);
}

bool FolderListing::Take(const std::string& i_path, std::vector<FolderEntry>& o_entries)
{
    std::unique_ptr<Job> job;
    {
        QMutexLocker<QMutex> lock(&m_mutex);
        const auto found = m_jobs.find(i_path);
        if (found != m_jobs.end())
        {
            job = std::move(found->second);
            m_jobs.erase(found);
        }
    }
    if (!job)
        return ListFolder(i_path, o_entries);
    if (m_workers.tryTake(job.get()))
        job->run();
    job->done.acquire();
    m_waitingEntries -= job->entries.size();
    o_entries = std::move(job->entries);
    return job->listed;
}
