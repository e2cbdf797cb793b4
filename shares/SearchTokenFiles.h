#pragma once
// The creation serials of the files that search tokens link to, kept for
// the tokens searches have asked for. Searches intersect these plain sorted
// arrays instead of reaching into the item of every candidate file, which
// for common tokens means thousands of scattered reads per search. The
// owner clears it whenever a token gains or loses a file.

#include "Data.h"

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

class SearchTokenFiles
{
public:
    using Serials = std::vector<uint64_t>;

    // The serials of each token's files, in the order of the token's group
    // of files (serial order), for (token, its group of files) pairs. The
    // arrays stay valid until the next call or Clear.
    std::vector<const Serials*> Get(const std::vector<std::pair<const Item*, const ConnGroup*>>& i_tokens);
    void Clear();

    // Serials kept at most, about 8 MB: beyond it the kept arrays are dropped
    // and rebuilt as searches ask for them.
    static constexpr size_t MAX_SERIALS = size_t(1) << 20;

private:
    std::unordered_map<const Item*, Serials> m_serials;
    size_t m_serialCount = 0;
};
