#include "SearchTokenFiles.h"

std::vector<const SearchTokenFiles::Serials*> SearchTokenFiles::Get(
    const std::vector<std::pair<const Item*, const ConnGroup*>>& i_tokens)
{
    // An array that no longer matches its group in size was missed by a
    // clear; it is made again rather than read past its end.
    size_t missing = 0;
    for (const auto& token : i_tokens)
    {
        auto kept = m_serials.find(token.first);
        if (kept != m_serials.end() && kept->second.size() != token.second->Size())
        {
            m_serialCount -= kept->second.size();
            m_serials.erase(kept);
            kept = m_serials.end();
        }
        if (kept == m_serials.end())
            missing += token.second->Size();
    }
    if (m_serialCount + missing > MAX_SERIALS)
        Clear();

    std::vector<const Serials*> result;
    result.reserve(i_tokens.size());
    for (const auto& token : i_tokens)
    {
        auto [entry, added] = m_serials.try_emplace(token.first);
        if (added)
        {
            Serials& serials = entry->second;
            serials.reserve(token.second->Size());
            token.second->ForEach([&serials](Item* i_file) { serials.push_back(i_file->Serial()); });
            m_serialCount += serials.size();
        }
        result.push_back(&entry->second);
    }
    return result;
}

void SearchTokenFiles::Clear()
{
    if (m_serials.empty())
        return;
    m_serials.clear();
    m_serialCount = 0;
}
