#pragma once
// Where a download lives on disk. The uploader's folder and file name come
// from a peer, so every part kept from them is made a plain, harmless name
// before it meets the file system: nothing a peer sends can reach outside
// the download folder. The names stored with a download stay as sent.

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

// The most bytes a folder or file name may take on the file system.
inline constexpr int kMaxLocalNameBytes = 255;

// One folder or file name from a peer, safe to use: "/", "\", NUL and other
// control bytes become "_", and an empty name, "." or ".." becomes "_".
std::string CleanPathComponent(const std::string& i_part);

// One folder or file name from a peer as the name on disk: cleaned, then
// read as UTF-8 when its bytes are valid UTF-8 and one byte per character
// otherwise (so that names that differ on the wire stay apart), and cut to
// kMaxLocalNameBytes at a character boundary, keeping its extension.
// o_shortened, when given, tells whether it was cut.
QString LocalName(const std::string& i_wirePart, bool* o_shortened = nullptr);

// The local names of the last parts of the uploader's "\"-separated folder
// that a download keeps: level + 1 of them, the level clamped to
// 0..parts-1 (a trailing "\" ends no part). None for an empty folder.
QStringList KeptSubfolders(const std::string& i_remoteFolder, long i_level, bool* o_shortened = nullptr);

// The name with " (n)" before its extension: "track.bin" and 2 give
// "track (2).bin"; a name without an extension, or whose only dot leads,
// takes the number at its end. What stands before the number is cut so
// that the name still fits kMaxLocalNameBytes.
QString NumberedName(const QString& i_name, int i_number);

// A wire path split once, at its last "\", into folder and file name, as
// results and queued downloads store it: "/" belongs to the name. A path
// without "\" is a name with an empty folder.
void SplitWirePath(const std::string& i_path, std::string* o_folder, std::string* o_name);

// True when the "/"-form path lies strictly below the "/"-form folder once
// "." and ".." are resolved.
bool IsBelowFolder(const QString& i_path, const QString& i_folder);
