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
        if (!m_path.empty()) ::unlink(m_path.c_str());
    }
    int m_fd = -1;
    std::string m_path;
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
    TempFile guard;   // closes only; the path stays empty
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

std::string SaveTarget(const std::string& i_path, std::string& o_error) {
    std::string target = i_path;
    // As many links as the kernel follows in one path.
    for (int followed = 0; followed <= 40; ++followed) {
        struct stat st;
        if (::lstat(target.c_str(), &st) != 0) {
            if (errno == ENOENT) return target;   // the save creates it
            o_error = Errno();
            return std::string();
        }
        if (!S_ISLNK(st.st_mode)) return target;
        std::string link(size_t(st.st_size > 0 ? st.st_size : 0) + 256, '\0');
        const ssize_t n = ::readlink(target.c_str(), &link[0], link.size());
        if (n <= 0 || size_t(n) >= link.size()) {
            o_error = n < 0 ? Errno() : "the link changed while it was read";
            return std::string();
        }
        link.resize(size_t(n));
        // A relative link is relative to the folder that holds it.
        target = link.empty() || link[0] == '/' || target.find('/') == std::string::npos
                     ? link
                     : FolderOf(target) + "/" + link;
    }
    o_error = std::strerror(ELOOP);
    return std::string();
}

void WriteAtomically(const std::string& i_path, std::string_view i_bytes) {
    auto fail = [&](const std::string& i_step, const std::string& i_file) {
        throw DataSaveFailure("cannot save the state file " + i_path + ": " + i_step + " " + i_file + ": " + Errno());
    };
    std::string error;
    const std::string target = SaveTarget(i_path, error);
    if (target.empty())
        throw DataSaveFailure("cannot save the state file " + i_path + ": cannot follow its link: " + error);
    TempFile tmp;
    // The first free name; O_EXCL never reuses anything that exists.
    for (unsigned n = 1;; ++n) {
        std::string candidate = target + "." + std::to_string(n);
        tmp.m_fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (tmp.m_fd >= 0) {
            tmp.m_path = std::move(candidate);
            break;
        }
        if (errno != EEXIST || n >= 100000) fail("cannot create the temporary file", candidate);
    }
    // It holds the password: owner only, whatever the umask left.
    if (::fchmod(tmp.m_fd, 0600) != 0) fail("cannot set the mode of", tmp.m_path);
    size_t done = 0;
    while (done < i_bytes.size()) {
        const ssize_t n = ::write(tmp.m_fd, i_bytes.data() + done, i_bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", tmp.m_path);
        }
        done += size_t(n);
    }
    if (::fsync(tmp.m_fd) != 0) fail("cannot flush", tmp.m_path);
    const int fd = tmp.m_fd;
    tmp.m_fd = -1;
    if (::close(fd) != 0) fail("cannot close", tmp.m_path);
    if (gp_stateFileBeforeRename) gp_stateFileBeforeRename(tmp.m_path.c_str());
    if (::rename(tmp.m_path.c_str(), target.c_str()) != 0) fail("cannot rename to the target", tmp.m_path);
    tmp.m_path.clear();

    // Make the rename itself durable; the new file is in place either way.
    const int dirFd = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

std::vector<std::string> RemoveUnfinishedSaves(const std::string& i_path) {
    std::vector<std::string> removed;
    // The saves went beside the file the link leads to.
    std::string error;
    const std::string target = SaveTarget(i_path, error);
    if (target.empty()) return removed;
    const size_t slash = target.rfind('/');
    const std::string folder = FolderOf(target);
    const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return removed;
    std::vector<std::string> candidates;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        const std::string_view suffix = name.substr(prefix.size());
        if (suffix.find_first_not_of("0123456789") != std::string_view::npos) continue;
        candidates.push_back(folder + "/" + std::string(name));
    }
    ::closedir(dir);
    for (const std::string& candidate : candidates) {
        struct stat st;
        // Never a folder or a link someone put there.
        if (::lstat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlink(candidate.c_str()) == 0) removed.push_back(candidate);
    }
    return removed;
}

std::string MoveAside(const std::string& i_path, std::string& o_error) {
    const std::string target = SaveTarget(i_path, o_error);
    if (target.empty()) return std::string();
    for (unsigned n = 0; n < 100000; ++n) {
        const std::string candidate = target + ".bad" + (n ? "." + std::to_string(n) : std::string());
        if (::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, candidate.c_str(), RENAME_NOREPLACE) == 0)
            return candidate;
        if (errno == EEXIST) continue;
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without the no-replace rename: check, then rename.
            struct stat st;
            if (::lstat(candidate.c_str(), &st) == 0) continue;
            if (::rename(target.c_str(), candidate.c_str()) == 0) return candidate;
        }
        o_error = Errno();
        return std::string();
    }
    o_error = "every name up to .bad.99999 is taken";
    return std::string();
}

}  // namespace statefile
