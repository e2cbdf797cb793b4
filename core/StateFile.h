#pragma once
// The state file's format, version 1, without any policy about which items
// go into it. DataSaver decides what is saved and how a load is applied;
// this layer only encodes, checks, reads and writes bytes, so the loader,
// the command-line tool and the fuzzer share one parser.
//
//   header (20 bytes, not covered by the checksum)
//     8 bytes "TVRNSTAT", uint32 version = 1, uint32 B = body length,
//     uint32 zlib crc32 of the body
//   body
//     uint32 T; T x { string type name; byte null flag (0 or 1) }
//     uint32 N; N x { uint32 type index; string value, only for valued types }
//     uint32 C; C x { uint32 a; uint32 b }   with a < b < N
//
// Integers are little-endian; a string is a uint32 byte count and the bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace statefile {

constexpr char kMagic[8] = {'T', 'V', 'R', 'N', 'S', 'T', 'A', 'T'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 20;

// The whole content of a file. The views point into storage that the
// producer keeps alive: the file's bytes after Parse, the store's own type
// names and item values while a save builds it.
struct Image {
    struct TypeEntry {
        std::string_view name;
        bool null = false;
    };
    struct ItemEntry {
        uint32_t type = 0;
        std::string_view value;   // empty for an item of a null type
    };
    std::vector<TypeEntry> types;
    std::vector<ItemEntry> items;                       // in creation order
    std::vector<std::pair<uint32_t, uint32_t>> links;   // first < second < items.size()
};

// Checks the whole file, header, checksum and every count, length and index,
// before anything is returned. Throws DataLoadFailure with the reason.
Image Parse(std::string_view i_file);

// Header and body. Throws DataSaveFailure when the body would not fit the
// format's 32-bit length.
std::string Encode(const Image& i_image);

enum class ReadStatus { Read, Missing };
// Reads the whole file, following symbolic links. Missing when it does not
// exist. Only a regular file is opened, and never so that open() could wait
// (a FIFO or a device at the path). Throws DataLoadFailure when the file is
// not a regular file or too large for the format, DataReadFailure when it
// cannot be opened or read.
ReadStatus ReadFile(const std::string& i_path, std::string& o_bytes);

// Writes a temporary file beside the path (path + "." + the first free n
// from 1, mode 0600), flushes it to disk and renames it over the path. When
// the path is a symbolic link to a regular file, or to nothing yet, the save
// goes beside and over the file the link leads to, so the link stays; the
// temporary file there is named target + ".Tavrinel-save." + n, a name
// nothing else makes. A link to anything else (a device, a FIFO, a folder)
// is itself renamed aside as MoveAside does, what it leads to is left alone,
// and the state is saved at the path; the link's new name is returned, else
// "". On any failure the temporary file is removed, the target is untouched
// and DataSaveFailure is thrown.
std::string WriteAtomically(const std::string& i_path, std::string_view i_bytes);

// Removes the temporary files that a save ended midway (a killed process)
// left where saves go: regular files of this user's named path + "." +
// digits beside the path, or, through a link, only the names above beside
// the file it leads to. Returns the removed paths.
std::vector<std::string> RemoveUnfinishedSaves(const std::string& i_path);

// Renames an unusable state file to its name + ".bad" (".bad.1", ".bad.2",
// ... when taken), never replacing anything. Through a link that is the
// regular file the link leads to, and the link stays, so the next save goes
// through it again; a link to anything else is itself renamed and what it
// leads to is left alone. Returns the new name, or "" with the reason in
// o_error.
std::string MoveAside(const std::string& i_path, std::string& o_error);

}  // namespace statefile

// Tests only: called after the temporary file is complete and closed, just
// before it is renamed over the target, with the temporary file's path.
extern void (*gp_stateFileBeforeRename)(const char* ip_tempPath);
