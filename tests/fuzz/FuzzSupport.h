#pragma once
// What the fuzz targets share: a failed check that aborts with its reason,
// the wire's little-endian fields for seeds, a reader that takes the
// fuzzer's bytes apart, seeds written into an empty corpus folder, and the
// Qt application some targets' objects need.

#include <QCoreApplication>
#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

namespace fuzz
{

inline void Check(bool i_ok, const char* ip_what)
{
    if (i_ok)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", ip_what);
    std::abort();
}

inline std::string U32(quint32 i_value)
{
    char b[4];
    qToLittleEndian<quint32>(i_value, b);
    return std::string(b, 4);
}
inline std::string I64(qint64 i_value)
{
    char b[8];
    qToLittleEndian<qint64>(i_value, b);
    return std::string(b, 8);
}
inline std::string Str(const std::string& i_text) { return U32(quint32(i_text.size())) + i_text; }
// A present file record; pairs of (code, value).
inline std::string Record(const std::string& i_name, qint64 i_size, std::vector<std::pair<quint32, quint32>> i_pairs = {})
{
    std::string r = std::string(1, '\1') + Str(i_name) + I64(i_size) + Str("mp3") + U32(quint32(i_pairs.size()));
    for (const auto& pair : i_pairs)
        r += U32(pair.first) + U32(pair.second);
    return r;
}

// Takes the input apart front to back; past its end every read gives 0 or
// an empty text.
class Bytes
{
public:
    Bytes(const uint8_t* ip_data, size_t i_size) : mp_data(ip_data), m_size(i_size) {}
    bool Empty() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? mp_data[m_at++] : 0; }
    // Up to i_max bytes: the length is the next byte.
    std::string Text(size_t i_max = 255)
    {
        const size_t n = std::min<size_t>({Byte(), i_max, m_size - std::min(m_at, m_size)});
        std::string text(reinterpret_cast<const char*>(mp_data) + m_at, n);
        m_at += n;
        return text;
    }
    std::string Rest()
    {
        const size_t at = std::min(m_at, m_size);
        m_at = m_size;
        return std::string(reinterpret_cast<const char*>(mp_data) + at, m_size - at);
    }

private:
    const uint8_t* mp_data;
    size_t m_size;
    size_t m_at = 0;
};

inline bool IsEmptyFolder(const char* ip_path)
{
    struct stat st;
    if (ip_path[0] == '-' || ::stat(ip_path, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    DIR* dir = ::opendir(ip_path);
    if (!dir)
        return false;
    bool empty = true;
    while (dirent* e = ::readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            empty = false;
    ::closedir(dir);
    return empty;
}

// True for a run given its inputs as a list (-seed_inputs=), as CI's fuzz
// step passes the kept corpus, which holds the seeds. Such a run gets no
// seeds written: the order in which a folder lists them would change what
// a fixed seed does.
inline bool InputsListed(int i_argc, char** ip_argv)
{
    for (int k = 1; k < i_argc; ++k)
        if (std::string(ip_argv[k]).rfind("-seed_inputs=", 0) == 0)
            return true;
    return false;
}

// Writes each seed, as seed-<n>, into every empty corpus folder named on
// the command line, so that short runs start inside the code under test.
inline void Seed(int i_argc, char** ip_argv, const std::vector<std::string>& i_seeds)
{
    if (InputsListed(i_argc, ip_argv))
        return;
    for (int k = 1; k < i_argc; ++k)
    {
        if (!IsEmptyFolder(ip_argv[k]))
            continue;
        for (size_t n = 0; n < i_seeds.size(); ++n)
        {
            const std::string path = std::string(ip_argv[k]) + "/seed-" + std::to_string(n);
            FILE* f = std::fopen(path.c_str(), "wb");
            Check(f != nullptr, "cannot write a seed");
            Check(std::fwrite(i_seeds[n].data(), 1, i_seeds[n].size(), f) == i_seeds[n].size(), "cannot write a seed");
            std::fclose(f);
        }
    }
}

// Timers and objects of the client want an application. It is never
// destroyed: at exit the objects it would outlive are gone already.
inline void StartApplication(int* ip_argc, char*** ip_argv)
{
    static QCoreApplication* sp_app = new QCoreApplication(*ip_argc, *ip_argv);
    (void)sp_app;
}

}
