#include "FolderListing.h"

#include "TextConversion.h"

#include <QDir>
#include <QMutexLocker>
#include <QSemaphore>
#include <QThread>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
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

// File systems whose folders hold no files to share, only views of the
// system (processes, devices, kernel objects), often without end: a
// process's folder links to the root and to folders of other processes.
const char* const PSEUDO_TYPES[] = {"proc",     "sysfs",      "devtmpfs",    "devpts",    "cgroup",
                                    "cgroup2",  "debugfs",    "tracefs",     "securityfs", "pstore",
                                    "bpf",      "configfs",   "fusectl",     "mqueue",    "binfmt_misc",
                                    "efivarfs", "selinuxfs",  "rpc_pipefs",  "nsfs"};

// What the file system itself says, where the mount table does not know
// the device (or cannot be read).
const std::pair<long, const char*> PSEUDO_MAGICS[] = {
    {PROC_SUPER_MAGIC, "proc"},      {SYSFS_MAGIC, "sysfs"},        {DEVPTS_SUPER_MAGIC, "devpts"},
    {CGROUP_SUPER_MAGIC, "cgroup"},  {CGROUP2_SUPER_MAGIC, "cgroup2"}, {DEBUGFS_MAGIC, "debugfs"},
    {TRACEFS_MAGIC, "tracefs"},      {SECURITYFS_MAGIC, "securityfs"}, {PSTOREFS_MAGIC, "pstore"},
    {BPF_FS_MAGIC, "bpf"},           {BINFMTFS_MAGIC, "binfmt_misc"},  {EFIVARFS_MAGIC, "efivarfs"},
    {SELINUX_MAGIC, "selinuxfs"},    {NSFS_MAGIC, "nsfs"}};

bool IsPseudoType(const std::string& i_type)
{
    return std::find(std::begin(PSEUDO_TYPES), std::end(PSEUDO_TYPES), i_type) != std::end(PSEUDO_TYPES);
}

// Who this process is, for judging file modes.
struct Credentials
{
    uid_t user = ::geteuid();
    gid_t group = ::getegid();
    std::vector<gid_t> groups;

    Credentials()
    {
        const int n = ::getgroups(0, nullptr);
        if (n > 0)
        {
            groups.resize(size_t(n));
            groups.resize(size_t(std::max(0, ::getgroups(n, groups.data()))));
        }
    }
    bool InGroup(gid_t i_group) const
    {
        return i_group == group || std::find(groups.begin(), groups.end(), i_group) != groups.end();
    }
};

// Whether this process may read the file. Judged from its mode, as most
// files are readable; only one the mode seems to refuse costs a system
// call, which settles what the mode does not tell (privileges, access
// control lists).
bool MayRead(int i_folderFd, const char* ip_name, const struct stat& i_st)
{
    static const Credentials self;
    mode_t bit = S_IROTH;
    if (i_st.st_uid == self.user)
        bit = S_IRUSR;
    else if (self.InGroup(i_st.st_gid))
        bit = S_IRGRP;
    return (i_st.st_mode & bit) != 0 || ::faccessat(i_folderFd, ip_name, R_OK, AT_EACCESS) == 0;
}

} // namespace

PseudoFileSystems::PseudoFileSystems()
{
    // Each line: id, parent id, major:minor of the device, root, mount
    // point, options, optional fields, "-", the type, ...
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line))
    {
        std::istringstream fields(line);
        std::string field, device, type;
        for (int k = 0; k < 3 && fields >> field; ++k)
            device = field;
        while (fields >> field && field != "-")
        {
        }
        unsigned int major = 0, minor = 0;
        if (fields >> type && std::sscanf(device.c_str(), "%u:%u", &major, &minor) == 2)
            m_mountTypes.emplace(static_cast<unsigned long long>(makedev(major, minor)), type);
    }
}

std::string PseudoFileSystems::TypeOf(int i_folderFd, unsigned long long i_device) const
{
    const auto mount = m_mountTypes.find(i_device);
    if (mount != m_mountTypes.end())
        return IsPseudoType(mount->second) ? mount->second : std::string();
    struct statfs fs;
    if (::fstatfs(i_folderFd, &fs) != 0)
        return std::string();
    for (const auto& [magic, type] : PSEUDO_MAGICS)
        if (static_cast<long>(fs.f_type) == magic)
            return type;
    return std::string();
}

void ListFolder(const std::string& i_path, const PseudoFileSystems& i_fileSystems, FolderContents& o_contents)
{
    o_contents = FolderContents();
    std::vector<FolderEntry>& o_entries = o_contents.entries;
    LeftOutEntries& leftOut = o_contents.leftOut;
    if (::access(i_path.c_str(), R_OK | X_OK) != 0)
        return;
    const int fd = ::open(i_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat folder;
    if (::fstat(fd, &folder) != 0)
    {
        ::close(fd);
        return;
    }
    o_contents.id = {static_cast<unsigned long long>(folder.st_dev), static_cast<unsigned long long>(folder.st_ino)};
    o_contents.pseudoFileSystem = i_fileSystems.TypeOf(fd, o_contents.id.device);
    DIR* dir = o_contents.pseudoFileSystem.empty() ? ::fdopendir(fd) : nullptr;
    if (!dir)
    {
        ::close(fd);
        o_contents.listed = !o_contents.pseudoFileSystem.empty();
        return;
    }
    o_contents.listed = true;
    while (const dirent* e = ::readdir(dir))
    {
        if (e->d_name[0] == '.')
            continue;
        FolderEntry entry;
        entry.name = e->d_name;
        entry.ascii = IsAscii(entry.name);
        // A name that is not UTF-8 does not survive the conversion to text
        // and back, so it names nothing the share could list; "\\" is the
        // separator of paths on the wire, so a name holding it could not be
        // asked for.
        if (!entry.ascii && ToUtf8(FromUtf8(entry.name)) != entry.name)
        {
            ++leftOut.notUtf8;
            continue;
        }
        if (entry.name.find('\\') != std::string::npos)
        {
            ++leftOut.backslash;
            continue;
        }
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
            else if (!S_ISREG(st.st_mode))
                continue;
            else if (!MayRead(fd, e->d_name, st))
            {
                // Listed, it would be offered and then fail to open.
                ++leftOut.unreadable;
                continue;
            }
            else
                entry.size = static_cast<long long>(st.st_size);
        }
        o_entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(o_entries.begin(), o_entries.end(), ListedBefore);
}

struct FolderListing::Job : QRunnable
{
    Job(FolderListing* ip_owner, std::string i_path) : mp_owner(ip_owner), path(std::move(i_path))
    {
        setAutoDelete(false);
    }
    void run() override
    {
        ListFolder(path, mp_owner->m_fileSystems, contents);
        mp_owner->ReadAheadBelow(path, contents.entries);
        done.release();
    }

    FolderListing* const mp_owner;
    const std::string path;
    FolderContents contents;
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

void FolderListing::Take(const std::string& i_path, FolderContents& o_contents)
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
    {
        ListFolder(i_path, m_fileSystems, o_contents);
        return;
    }
    if (m_workers.tryTake(job.get()))
        job->run();
    job->done.acquire();
    m_waitingEntries -= job->contents.entries.size();
    o_contents = std::move(job->contents);
}
