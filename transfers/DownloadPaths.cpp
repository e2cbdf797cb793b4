#include "DownloadPaths.h"

#include <QDir>

std::string CleanPathComponent(const std::string& i_part)
{
    if (i_part.empty() || i_part == "." || i_part == "..")
        return "_";
    std::string clean = i_part;
    for (char& c : clean)
    {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f)
            c = '_';
    }
    return clean;
}

std::vector<std::string> KeptSubfolders(const std::string& i_remoteFolder, long i_level)
{
    if (i_remoteFolder.empty())
        return {};
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;)
    {
        const size_t end = i_remoteFolder.find('\\', start);
        parts.push_back(i_remoteFolder.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (parts.size() > 1 && parts.back().empty())
        parts.pop_back();
    const long last = long(parts.size()) - 1;
    const long level = i_level < 0 ? 0 : (i_level > last ? last : i_level);
    std::vector<std::string> kept;
    for (size_t k = parts.size() - size_t(level) - 1; k < parts.size(); ++k)
        kept.push_back(CleanPathComponent(parts[k]));
    return kept;
}

QString NumberedName(const QString& i_name, int i_number)
{
    const qsizetype dot = i_name.lastIndexOf(QLatin1Char('.'));
    const qsizetype at = dot > 0 ? dot : i_name.size();
    return i_name.left(at) + QStringLiteral(" (%1)").arg(i_number) + i_name.mid(at);
}

bool IsBelowFolder(const QString& i_path, const QString& i_folder)
{
    const QString folder = QDir::cleanPath(i_folder);
    const QString path = QDir::cleanPath(i_path);
    if (folder.isEmpty() || path.size() <= folder.size())
        return false;
    const QString prefix = folder.endsWith('/') ? folder : folder + '/';
    return path.startsWith(prefix) && path.size() > prefix.size();
}
