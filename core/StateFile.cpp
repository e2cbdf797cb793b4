#include "StateFile.h"

#include "DataSaver.h"
#include "RegularFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unordered_set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

void (*gp_stateFileBeforeRename)(const char* ip_tempPath) = nullptr;

namespace statefile {
namespace {

uint32_t GetU32(const unsigned char* ip) {
    return uint32_t(ip[0]) | (uint32_t(ip[1]) << 8) | (uint32_t(ip[2]) << 16) | (uint32_t(ip[3]) << 24);
}

char* PutU32(char* op, uint32_t i_n) {
    op[0] = char(i_n & 0xff);
    op[1] = char((i_n >> 8) & 0xff);
    op[2] = char((i_n >> 16) & 0xff);
    op[3] = char((i_n >> 24) & 0xff);
    return op + 4;
}

char* PutBytes(char* op, std::string_view i_s) {
    if (!i_s.empty()) std::memcpy(op, i_s.data(), i_s.size());
    return op + i_s.size();
}

uint32_t Crc(const char* ip_data, size_t i_size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    const auto* p = reinterpret_cast<const Bytef*>(ip_data);
    // crc32 takes a 32-bit length; feed large bodies in pieces.
    while (i_size > 0) {
        const uInt piece = i_size > (1u << 30) ? (1u << 30) : uInt(i_size);
        crc = crc32(crc, p, piece);
        p += piece;
        i_size -= piece;
    }
    return uint32_t(crc);
}

[[noreturn]] void Fail(const std::string& i_why) { throw DataLoadFailure(i_why); }

// Reads the body; every read is checked against the bytes left.
class Reader {
public:
    Reader(const unsigned char* ip_data, size_t i_size) : mp_p(ip_data), mp_end(ip_data + i_size) {}

    size_t Left() const { return size_t(mp_end - mp_p); }

    uint32_t U32(const char* ip_what) {
        if (Left() < 4) Fail(std::string("the body ends inside ") + ip_what);
        uint32_t n = GetU32(mp_p);
        mp_p += 4;
        return n;
    }
    unsigned char Byte(const char* ip_what) {
        if (Left() < 1) Fail(std::string("the body ends inside ") + ip_what);
        return *mp_p++;
    }
    std::string_view String(const char* ip_what) {
        const uint32_t n = U32(ip_what);
        if (n > Left())
            Fail(std::string(ip_what) + " of " + std::to_string(n) + " bytes runs past the end of the body");
        std::string_view s(reinterpret_cast<const char*>(mp_p), n);
        mp_p += n;
        return s;
    }

private:
    const unsigned char* mp_p;
    const unsigned char* mp_end;
};

std::string Errno() { return std::strerror(errno); }

// The folder of a path: "." when it names none, "/" for a file at the root.
std::string FolderOf(const std::string& i_path) {
    const size_t slash = i_path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : i_path.substr(0, slash));
}

// Closes the descriptor and removes the temporary file unless released.
class TempFile {
public:
    ~TempFile() {
        if (m_fd >= 0) ::close(m_fd);
        if (!m_name.empty()) ::unlinkat(m_folder, m_name.c_str(), 0);
    }
    int m_fd = -1;
    int m_folder = AT_FDCWD;   // not owned
    std::string m_name;        // in m_folder
};

}  // namespace

Image Parse(std::string_view i_file) {
    if (i_file.size() < kHeaderSize)
        Fail("the file has " + std::to_string(i_file.size()) + " bytes, shorter than its 20-byte header");
    const auto* p = reinterpret_cast<const unsigned char*>(i_file.data());
    if (std::memcmp(p, kMagic, sizeof kMagic) != 0) Fail("it is not a state file (wrong magic)");
    const uint32_t version = GetU32(p + 8);
    if (version != kVersion) Fail("format version " + std::to_string(version) + " is not supported");
    const uint32_t bodySize = GetU32(p + 12);
    if (i_file.size() - kHeaderSize != bodySize)
        Fail("the file has " + std::to_string(i_file.size()) + " bytes but its header announces " +
             std::to_string(uint64_t(kHeaderSize) + bodySize));
    if (Crc(i_file.data() + kHeaderSize, bodySize) != GetU32(p + 16)) Fail("the checksum does not match");

    Image im;
    Reader r(p + kHeaderSize, bodySize);

    // A type takes at least 5 bytes, an item 4, a link 8: no count may
    // promise more entries than the bytes left can hold.
    const uint32_t typeCount = r.U32("the type count");
    if (typeCount > r.Left() / 5) Fail("the type count " + std::to_string(typeCount) + " exceeds the body");
    im.types.reserve(typeCount);
    std::unordered_set<std::string_view> names;
    for (uint32_t k = 0; k < typeCount; ++k) {
        Image::TypeEntry t;
        t.name = r.String("a type name");
        const unsigned char flag = r.Byte("a type's null flag");
        if (flag > 1) Fail("type " + std::to_string(k) + " has the null flag " + std::to_string(flag));
        t.null = flag == 1;
        if (!names.insert(t.name).second) Fail("type " + std::to_string(k) + " repeats an earlier type's name");
        im.types.push_back(t);
    }

    const uint32_t itemCount = r.U32("the item count");
    if (itemCount > r.Left() / 4) Fail("the item count " + std::to_string(itemCount) + " exceeds the body");
    im.items.reserve(itemCount);
    for (uint32_t k = 0; k < itemCount; ++k) {
        Image::ItemEntry it;
        it.type = r.U32("an item's type");
        if (it.type >= typeCount)
            Fail("item " + std::to_string(k) + " names type " + std::to_string(it.type) + " of " +
                 std::to_string(typeCount));
        if (!im.types[it.type].null) it.value = r.String("an item's value");
        im.items.push_back(it);
    }

    const uint32_t linkCount = r.U32("the link count");
    if (r.Left() / 8 < linkCount) Fail("the link count " + std::to_string(linkCount) + " exceeds the body");
    if (r.Left() != uint64_t(linkCount) * 8)
        Fail(std::to_string(r.Left() - uint64_t(linkCount) * 8) + " bytes follow the last link");
    im.links.reserve(linkCount);
    for (uint32_t k = 0; k < linkCount; ++k) {
        const uint32_t a = r.U32("a link");
        const uint32_t b = r.U32("a link");
        if (a >= b || b >= itemCount)
            Fail("link " + std::to_string(k) + " joins items " + std::to_string(a) + " and " + std::to_string(b) +
                 " of " + std::to_string(itemCount));
        im.links.emplace_back(a, b);
    }
    return im;
}

std::string Encode(const Image& i_image) {
    uint64_t size = 4 + 4 + 4;
    for (auto& t : i_image.types) size += 4 + t.name.size() + 1;
    for (auto& it : i_image.items) size += 4 + (i_image.types[it.type].null ? 0 : 4 + it.value.size());
    size += 8 * uint64_t(i_image.links.size());
    const uint64_t fieldMax = std::numeric_limits<uint32_t>::max();
    if (size > fieldMax)
        throw DataSaveFailure("the state is " + std::to_string(size) + " bytes, more than the format holds");
    for (auto& t : i_image.types)
        if (t.name.size() > fieldMax) throw DataSaveFailure("a type name is too long for the format");

    std::string out(kHeaderSize + size, '\0');
    char* o = &out[0];
    o = PutBytes(o, std::string_view(kMagic, sizeof kMagic));
    o = PutU32(o, kVersion);
    o = PutU32(o, uint32_t(size));
    char* crcAt = o;
    o += 4;
    char* body = o;

    o = PutU32(o, uint32_t(i_image.types.size()));
    for (auto& t : i_image.types) {
        o = PutU32(o, uint32_t(t.name.size()));
        o = PutBytes(o, t.name);
        *o++ = t.null ? 1 : 0;
    }
    o = PutU32(o, uint32_t(i_image.items.size()));
    for (auto& it : i_image.items) {
        o = PutU32(o, it.type);
        if (!i_image.types[it.type].null) {
            o = PutU32(o, uint32_t(it.value.size()));
            o = PutBytes(o, it.value);
        }
    }
    o = PutU32(o, uint32_t(i_image.links.size()));
    for (auto& l : i_image.links) {
        o = PutU32(o, l.first);
        o = PutU32(o, l.second);
    }
    PutU32(crcAt, Crc(body, size_t(size)));
    return out;
}

ReadStatus ReadFile(const std::string& i_path, std::string& o_bytes) {
    o_bytes.clear();
    int fd = -1;
    int error = 0;
    switch (OpenRegularFileForReading(i_path, fd, error)) {
        case RegularFileStatus::Missing: return ReadStatus::Missing;
        case RegularFileStatus::NotRegular: Fail("it is not a regular file");
        case RegularFileStatus::Unreadable: throw DataReadFailure("it cannot be opened: " + std::string(std::strerror(error)));
        case RegularFileStatus::Opened: break;
    }
    TempFile guard;   // closes only; the name stays empty
    guard.m_fd = fd;
    struct stat st;
    if (::fstat(fd, &st) != 0) throw DataReadFailure("its size cannot be read: " + Errno());
    // The header's length field bounds a valid file; anything larger is
    // refused before memory is taken for it.
    const uint64_t maxSize = kHeaderSize + uint64_t(std::numeric_limits<uint32_t>::max());
    if (uint64_t(st.st_size) > maxSize) Fail("it has " + std::to_string(st.st_size) + " bytes, more than any state file");
    o_bytes.resize(size_t(st.st_size));
    size_t done = 0;
    while (done < o_bytes.size()) {
        const ssize_t n = ::read(fd, &o_bytes[done], o_bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw DataReadFailure("it cannot be read: " + Errno());
        }
        if (n == 0) break;
        done += size_t(n);
    }
    // Changed under the reader: what was read says nothing of the file.
    if (done != o_bytes.size()) throw DataReadFailure("it shrank while it was read");
    return ReadStatus::Read;
}

namespace {

// Temporary files beside the file a link leads to carry this between that
// file's name and their number. That folder is the user's: copies kept there
// ("state.1") must never look like a save that was killed.
constexpr char kLinkedTempMark[] = ".Tavrinel-save.";

// The file the chain of links at the path ends at (which may not exist yet).
// "" with the reason in o_error when the chain cannot be followed.
std::string FollowLinks(const std::string& i_path, std::string& o_error) {
    std::string target = i_path;
    // As many links as the kernel follows in one path.
    for (int followed = 0; followed <= 40; ++followed) {
        struct stat st;
        if (::lstat(target.c_str(), &st) != 0) {
            if (errno == ENOENT) return target;   // the save creates it
            o_error = "cannot follow its link: " + Errno();
            return std::string();
        }
        if (!S_ISLNK(st.st_mode)) return target;
        std::string link(size_t(st.st_size > 0 ? st.st_size : 0) + 256, '\0');
        const ssize_t n = ::readlink(target.c_str(), &link[0], link.size());
        if (n <= 0 || size_t(n) >= link.size()) {
            o_error = "cannot follow its link: " + (n < 0 ? Errno() : std::string("the link changed while it was read"));
            return std::string();
        }
        link.resize(size_t(n));
        // A relative link is relative to the folder that holds it.
        target = link[0] == '/' || target.find('/') == std::string::npos ? link : FolderOf(target) + "/" + link;
    }
    o_error = "cannot follow its link: " + std::string(std::strerror(ELOOP));
    return std::string();
}

// A name in a folder held open, and what the name is now. Saves, the moving
// aside and the clean-up act through the folder's descriptor on the entry
// itself, never following it, so a link changed after it was looked at
// cannot send them elsewhere.
struct Spot {
    enum Kind { Missing, Regular, Link, Other };

    Spot() = default;
    Spot(const Spot&) = delete;
    Spot& operator=(const Spot&) = delete;
    ~Spot() { Close(); }
    void Close() {
        if (m_folder >= 0) ::close(m_folder);
        m_folder = -1;
    }
    std::string Path() const { return m_prefix + m_name; }

    int m_folder = -1;       // O_PATH descriptor of the folder
    std::string m_prefix;    // the folder as the path spelled it, with its "/"
    std::string m_name;
    Kind m_kind = Missing;
    bool m_linked = false;   // reached through the link at the state file's path
};

// The entry of the path in its folder, not followed.
bool Examine(const std::string& i_path, Spot& o_spot, std::string& o_error) {
    o_spot.Close();
    const size_t slash = i_path.rfind('/');
    o_spot.m_prefix = slash == std::string::npos ? std::string() : i_path.substr(0, slash + 1);
    o_spot.m_name = slash == std::string::npos ? i_path : i_path.substr(slash + 1);
    o_spot.m_linked = false;
    o_spot.m_folder = ::open(FolderOf(i_path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (o_spot.m_folder < 0) {
        o_error = "cannot open the folder of " + i_path + ": " + Errno();
        return false;
    }
    // "x/", "x/." and "x/..": a folder, whatever it is.
    if (o_spot.m_name.empty() || o_spot.m_name == "." || o_spot.m_name == "..") {
        o_spot.m_kind = Spot::Other;
        return true;
    }
    struct stat st;
    if (::fstatat(o_spot.m_folder, o_spot.m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            o_error = "cannot examine " + i_path + ": " + Errno();
            return false;
        }
        o_spot.m_kind = Spot::Missing;
    } else {
        o_spot.m_kind = S_ISREG(st.st_mode) ? Spot::Regular : S_ISLNK(st.st_mode) ? Spot::Link : Spot::Other;
    }
    return true;
}

// Where saves go: the path itself, or, when it is a link, the entry its
// chain of links ends at (linked, of any kind but Link).
bool Locate(const std::string& i_path, Spot& o_spot, std::string& o_error) {
    if (!Examine(i_path, o_spot, o_error)) return false;
    if (o_spot.m_kind != Spot::Link) return true;
    const std::string target = FollowLinks(i_path, o_error);
    if (target.empty() || !Examine(target, o_spot, o_error)) return false;
    if (o_spot.m_kind == Spot::Link) {
        o_error = "its link changed while it was followed";
        return false;
    }
    o_spot.m_linked = true;
    return true;
}

// Renames the entry to its name + ".bad" (".bad.1", ".bad.2", ... when
// taken) in its folder, never replacing anything. The new path, or "" with
// the reason in o_error.
std::string RenameAside(const Spot& i_spot, std::string& o_error) {
    const int folder = i_spot.m_folder;
    const char* name = i_spot.m_name.c_str();
    for (unsigned n = 0; n < 100000; ++n) {
        const std::string candidate = i_spot.m_name + ".bad" + (n ? "." + std::to_string(n) : std::string());
        if (::renameat2(folder, name, folder, candidate.c_str(), RENAME_NOREPLACE) == 0)
            return i_spot.m_prefix + candidate;
        if (errno == EEXIST) continue;
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without the no-replace rename: check, then rename.
            struct stat st;
            if (::fstatat(folder, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
            if (::renameat(folder, name, folder, candidate.c_str()) == 0) return i_spot.m_prefix + candidate;
        }
        o_error = Errno();
        return std::string();
    }
    o_error = "every name up to .bad.99999 is taken";
    return std::string();
}

}  // namespace

std::string WriteAtomically(const std::string& i_path, std::string_view i_bytes) {
    auto failWith = [&](const std::string& i_why) {
        throw DataSaveFailure("cannot save the state file " + i_path + ": " + i_why);
    };
    auto fail = [&](const std::string& i_step, const std::string& i_file) {
        failWith(i_step + " " + i_file + ": " + Errno());
    };
    std::string error;
    Spot spot;
    if (!Locate(i_path, spot, error)) failWith(error);
    std::string keptAs;
    if (spot.m_linked && spot.m_kind != Spot::Regular && spot.m_kind != Spot::Missing) {
        // Saves go through a link only to a regular file. What else it leads
        // to (a device, a FIFO, a folder) is left alone; the link is kept
        // aside as a damaged file is, and the state saved at the path.
        if (!Examine(i_path, spot, error) || (keptAs = RenameAside(spot, error)).empty())
            failWith("its link leads to something other than a regular file and cannot be moved aside: " + error);
        if (!Examine(i_path, spot, error)) failWith(error);
        if (spot.m_kind == Spot::Link) failWith("a new link appeared at the path while it was saved");
    }
    const int folder = spot.m_folder;
    TempFile tmp;
    tmp.m_folder = folder;
    // The first free name; O_EXCL never reuses anything that exists.
    const std::string stem = spot.m_name + (spot.m_linked ? kLinkedTempMark : ".");
    for (unsigned n = 1;; ++n) {
        std::string candidate = stem + std::to_string(n);
        tmp.m_fd = ::openat(folder, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (tmp.m_fd >= 0) {
            tmp.m_name = std::move(candidate);
            break;
        }
        if (errno != EEXIST || n >= 100000) fail("cannot create the temporary file", spot.m_prefix + candidate);
    }
    const std::string tmpPath = spot.m_prefix + tmp.m_name;
    // It holds the password: owner only, whatever the umask left.
    if (::fchmod(tmp.m_fd, 0600) != 0) fail("cannot set the mode of", tmpPath);
    size_t done = 0;
    while (done < i_bytes.size()) {
        const ssize_t n = ::write(tmp.m_fd, i_bytes.data() + done, i_bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", tmpPath);
        }
        done += size_t(n);
    }
    if (::fsync(tmp.m_fd) != 0) fail("cannot flush", tmpPath);
    const int fd = tmp.m_fd;
    tmp.m_fd = -1;
    if (::close(fd) != 0) fail("cannot close", tmpPath);
    if (gp_stateFileBeforeRename) gp_stateFileBeforeRename(tmpPath.c_str());
    if (spot.m_linked) {
        // Through a link only a regular file is replaced, even one swapped
        // for something else while this was written.
        struct stat st;
        const bool present = ::fstatat(folder, spot.m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (present ? !S_ISREG(st.st_mode) : errno != ENOENT)
            failWith(spot.Path() + " changed into something other than a regular file while it was saved");
    }
    if (::renameat(folder, tmp.m_name.c_str(), folder, spot.m_name.c_str()) != 0)
        fail("cannot rename to the target", tmpPath);
    tmp.m_name.clear();

    // Make the rename itself durable; the new file is in place either way.
    const int dirFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return keptAs;
}

std::vector<std::string> RemoveUnfinishedSaves(const std::string& i_path) {
    std::vector<std::string> removed;
    std::string error;
    Spot spot;
    // Saves went where they go now; never through a link to anything but a
    // regular file.
    if (!Locate(i_path, spot, error) || (spot.m_linked && spot.m_kind == Spot::Other)) return removed;
    const std::string stem = spot.m_name + (spot.m_linked ? kLinkedTempMark : ".");
    const int listFd = ::openat(spot.m_folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return removed;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return removed;
    }
    std::vector<std::string> candidates;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.size() <= stem.size() || name.substr(0, stem.size()) != stem) continue;
        if (name.substr(stem.size()).find_first_not_of("0123456789") != std::string_view::npos) continue;
        candidates.emplace_back(name);
    }
    ::closedir(dir);
    const uid_t self = ::geteuid();
    for (const std::string& name : candidates) {
        struct stat st;
        // Only a regular file of this user's: never a folder or a link
        // someone put there, nor another user's file.
        if (::fstatat(spot.m_folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != self)
            continue;
        if (::unlinkat(spot.m_folder, name.c_str(), 0) == 0) removed.push_back(spot.m_prefix + name);
    }
    return removed;
}

std::string MoveAside(const std::string& i_path, std::string& o_error) {
    Spot spot;
    // The file a link leads to only when it is a regular file, which saves
    // replace; anything else stays as it is and the link itself is moved.
    if (!Locate(i_path, spot, o_error) || !(spot.m_linked && spot.m_kind == Spot::Regular))
        if (!Examine(i_path, spot, o_error)) return std::string();
    return RenameAside(spot, o_error);
}

}  // namespace statefile
