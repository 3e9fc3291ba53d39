#include "SearchParser.h"

#include <utility>

const std::string& SearchParser::Whitespace()
{
    static const std::string whitespace(" \t");
    return whitespace;
}

bool SearchParser::SetSearchText(const std::string& i_text)
{
    return Tokenize(i_text);
}

bool SearchParser::Tokenize(const std::string& i_text)
{
    std::size_t l_position = 0;
    for (;;)
    {
        l_position = i_text.find_first_not_of(Whitespace(), l_position);
        if (l_position == std::string::npos)
            return !m_includedTokens.empty() || !m_includedPartTokens.empty();

        std::set<std::string>* lp_target = &m_includedTokens;
        if (i_text[l_position] == '-' || i_text[l_position] == '*')
        {
            lp_target = i_text[l_position] == '-' ? &m_excludedTokens : &m_includedPartTokens;
            ++l_position;
            if (l_position == i_text.size())
                return false;
        }

        std::string l_token;
        if (i_text[l_position] == '"')
        {
            const std::size_t l_start = l_position + 1;
            const std::size_t l_close = i_text.find('"', l_start);
            if (l_close == std::string::npos)
            {
                l_token = i_text.substr(l_start);
                l_position = i_text.size();
            }
            else
            {
                l_token = i_text.substr(l_start, l_close - l_start);
                l_position = l_close + 1;
            }
        }
        else
        {
            const std::size_t l_end = i_text.find_first_of(Whitespace(), l_position);
            const std::size_t l_stop = l_end == std::string::npos ? i_text.size() : l_end;
            l_token = i_text.substr(l_position, l_stop - l_position);
            l_position = l_stop;
        }

        if (l_token.find('"') != std::string::npos || l_token.empty())
            return false;
        lp_target->insert(std::move(l_token));
    }
}
