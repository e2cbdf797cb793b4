#include "SearchParser.h"

bool SearchParser::SetSearchText(std::string i_text)
{
    return Tokenize(i_text);
}

bool SearchParser::Tokenize(std::string i_text)
{
    const std::string separators = Whitespace();
    size_t position = 0;
    for (;;)
    {
        size_t start = i_text.find_first_not_of(separators, position);
        if (start == std::string::npos)
            return !m_included.empty() || !m_includedPart.empty();

        std::set<std::string>* target = &m_included;
        if (i_text[start] == '-' || i_text[start] == '*')
        {
            target = i_text[start] == '-' ? &m_excluded : &m_includedPart;
            if (++start == i_text.size())
                return false;
        }

        size_t end;
        if (i_text[start] == '"')
        {
            ++start;
            end = i_text.find('"', start);
            position = end == std::string::npos ? i_text.size() : end + 1;
        }
        else
        {
            end = i_text.find_first_of(separators, start);
            position = end == std::string::npos ? i_text.size() : end;
        }
        if (end == std::string::npos)
            end = i_text.size();

        const std::string token = i_text.substr(start, end - start);
        if (token.empty() || token.find('"') != std::string::npos)
            return false;
        if (target->size() < MAX_TOKENS_PER_KIND)
            target->insert(token);
    }
}

std::string SearchParser::Whitespace()
{
    return " \t";
}
