// Feeds arbitrary filter texts and names to the result filter's parser and
// matcher, against files with and without bitrate, mode and size. Checked
// for every input: no crash or sanitizer report; a match gives 0, 1 or 2,
// the same with and without a rest, and the rest of a match gets the
// limits; a rest handed on by a folder's text that adds nothing matches a
// file as the whole filter does; and without a file the words decide as a
// plain case-blind search of the name for every word and "-word" does.
//
// Input: the filter text, a zero byte, the name, all as UTF-8; the first
// byte picks the file.

#include "FuzzSupport.h"

#include "FilterParser.h"

#include <QString>
#include <QStringList>

namespace
{
std::vector<Item*> g_files;

// The words of a filter as a plain reading of the language gives them.
void Words(const QString& i_filter, QStringList& o_include, QStringList& o_exclude)
{
    static const char* const limits[] = {"minbitrate:", "mbr:",  "minfilesize:", "mfs:", "minfilesinfolder:",
                                         "mfif:"};
    for (const QString& token : i_filter.split(u' ', Qt::SkipEmptyParts))
    {
        if (token.startsWith(u'-'))
        {
            if (token.size() > 1)
                o_exclude << token.mid(1);
            continue;
        }
        bool limit = token == QLatin1String("isvbr") || token == QLatin1String("iscbr");
        for (const char* prefix : limits)
            limit = limit || token.startsWith(QLatin1String(prefix));
        if (!limit)
            o_include << token;
    }
}

int PlainMatch(const QString& i_filter, const QString& i_text)
{
    QStringList include, exclude;
    Words(i_filter, include, exclude);
    for (const QString& word : exclude)
        if (i_text.contains(word, Qt::CaseInsensitive))
            return 2;
    for (const QString& word : include)
        if (!i_text.contains(word, Qt::CaseInsensitive))
            return 1;
    return 0;
}
}

extern "C" int LLVMFuzzerInitialize(int* ip_argc, char*** ip_argv)
{
    fuzz::StartApplication(ip_argc, ip_argv);
    d->Reset();
    Type* file = MakeType("search_result", false, true, false);
    for (const char* type : {"bitrate_mode", "bitrate", "file_size"})
        Relate(file, MakeType(type, false, false, true), Many, One);
    g_files.push_back(nullptr);
    g_files.push_back(file->NewItem());
    ItemPtr mp3(file->NewItem());
    mp3 += T("bitrate_mode")->GetItem("vbr");
    mp3 += T("bitrate")->GetItem("256");
    mp3 += T("file_size")->GetItem("7000000");
    g_files.push_back(mp3);
    ItemPtr odd(file->NewItem());
    odd += T("bitrate_mode")->GetItem("cbr");
    odd += T("bitrate")->GetItem("-5");
    odd += T("file_size")->GetItem("99999999999999999999");
    g_files.push_back(odd);

    const auto input = [](char i_file, const std::string& i_filter, const std::string& i_name) {
        return std::string(1, i_file) + i_filter + std::string(1, '\0') + i_name;
    };
    fuzz::Seed(*ip_argc, *ip_argv,
               {input(2, "rock -live isvbr mbr:192 mfs:5", "Rock\\Studio\\song.mp3"),
                input(3, "minbitrate:x minfilesize:9223372036854775807 iscbr mfif:3", "CAF\xc3\x89 b"),
                input(0, "caf\xc3\xa9 -\tx  ", "Caf\xc3\xa9 \tX"), input(1, "a minfilesinfolder:2 -", "A")});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    using fuzz::Check;
    if (i_size == 0)
        return 0;
    const ItemPtr file(g_files[ip_data[0] % g_files.size()]);
    const std::string rest(reinterpret_cast<const char*>(ip_data + 1), i_size - 1);
    const size_t zero = rest.find('\0');
    const QString filter = QString::fromUtf8(rest.substr(0, zero).c_str());
    const QString name = zero == std::string::npos ? QString() : QString::fromUtf8(rest.substr(zero + 1).c_str());

    FilterParser parser;
    parser.Parse(filter);
    const int alone = parser.IsMatching(name, nullptr, file);
    Check(alone >= 0 && alone <= 2, "a match beyond 0, 1 and 2");
    FilterParser handed;
    const int withRest = parser.IsMatching(name, &handed, file);
    Check(withRest == alone, "a rest changes the match");
    if (withRest != 2)
        Check(handed.HasAttributes() == parser.HasAttributes() &&
                  handed.MinFilesInFolder() == parser.MinFilesInFolder(),
              "a rest without the limits");

    // A folder whose text holds none of the words hands every word on.
    FilterParser fromFolder;
    if (parser.IsMatching(QString(), &fromFolder, ItemPtr()) != 2)
        Check(fromFolder.IsMatching(name, nullptr, file) == alone, "a rest matches otherwise than the filter");

    if (!file)
        Check(alone == PlainMatch(filter, name), "the words match otherwise than a plain search");
    return 0;
}
