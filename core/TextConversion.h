#pragma once
// The only sanctioned conversions between byte strings and QString.
// 8-bit text (status words, action data, typed settings) is Latin-1: one
// byte, one character, lossless in both directions for characters up to
// U+00FF. Paths, file names, chat and search texts are UTF-8. User, room
// and group names have their own pair below.
// QString::fromStdString/toStdString and QString(const char*) assume UTF-8
// and silently damage Latin-1 fields, so code goes through these instead.

#include <QString>
#include <string>

QString FromLatin1(const std::string& i_bytes);
// Characters above U+00FF cannot be represented and become '?'.
std::string ToLatin1(const QString& i_text);

// Invalid UTF-8 sequences become U+FFFD.
QString FromUtf8(const std::string& i_bytes);
std::string ToUtf8(const QString& i_text);

// User, room and group names, and the folder and file names a peer sends
// for a download. The network carries them as UTF-8, but an old client may
// have sent (and an earlier build stored) one byte per character: bytes
// that are not valid UTF-8 show as Latin-1, so that two such names stay
// apart. The shown text therefore need not lead back to the same bytes;
// whatever finds a name again keeps its bytes. Typed names become UTF-8.
QString FromName(const std::string& i_bytes);
std::string ToName(const QString& i_text);
