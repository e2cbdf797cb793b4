#pragma once
// Where a download lives on disk. The uploader's folder and file name come
// from a peer, so every part kept from them is made a plain, harmless name
// before it meets the file system: nothing a peer sends can reach outside
// the download folder. The names stored with a download stay as sent.

#include <QString>

#include <string>
#include <vector>

// One folder or file name from a peer, safe to use: "/", "\", NUL and other
// control bytes become "_", and an empty name, "." or ".." becomes "_".
std::string CleanPathComponent(const std::string& i_part);

// The cleaned last parts of the uploader's "\"-separated folder that a
// download keeps: level + 1 of them, the level clamped to 0..parts-1 (a
// trailing "\" ends no part). None for an empty folder.
std::vector<std::string> KeptSubfolders(const std::string& i_remoteFolder, long i_level);

// The name with " (n)" before its extension: "track.bin" and 2 give
// "track (2).bin"; a name without an extension, or whose only dot leads,
// takes the number at its end.
QString NumberedName(const QString& i_name, int i_number);

// True when the "/"-form path lies strictly below the "/"-form folder once
// "." and ".." are resolved.
bool IsBelowFolder(const QString& i_path, const QString& i_folder);
