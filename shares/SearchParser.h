#pragma once
// Splits the text of a search request from another user into the tokens
// that must be whole index tokens, the tokens that must occur inside the
// file name ("*" prefix) and the tokens that must not ("-" prefix). Tokens
// are separated by spaces and tabs; double quotes make one token of text
// with separators in it. Bytes pass through unchanged. Each set keeps the
// first MAX_TOKENS_PER_KIND distinct tokens of its kind in text order, so a
// text of thousands of tokens costs a search no more than a few dozen do.

#include <set>
#include <string>

class SearchParser
{
public:
    // Tokenizes the text; the text itself is not kept.
    bool SetSearchText(std::string i_text);
    // Adds the text's tokens to the three sets (which are never cleared);
    // a token of a kind whose set is full is passed over. False when the
    // text is malformed or holds no token that can match; tokens inserted
    // before a malformed one stay.
    bool Tokenize(std::string i_text);

    const std::set<std::string>& GetIncludedTokenSet() const { return m_included; }
    const std::set<std::string>& GetIncludedPartTokenSet() const { return m_includedPart; }
    const std::set<std::string>& GetExcludedTokenSet() const { return m_excluded; }

    // The separator characters: space and tab.
    static std::string Whitespace();

    // Far above what people type.
    static constexpr size_t MAX_TOKENS_PER_KIND = 32;

private:
    std::set<std::string> m_included;
    std::set<std::string> m_includedPart;
    std::set<std::string> m_excluded;
};
