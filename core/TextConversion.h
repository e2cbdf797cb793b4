#pragma once
// The only sanctioned conversions between byte strings and QString.
// 8-bit text (user names, room names, typed settings) is Latin-1: one byte,
// one character, lossless in both directions for characters up to U+00FF.
// Paths, file names, chat and search texts are UTF-8.
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
