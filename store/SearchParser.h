#pragma once

#include <set>
#include <string>

// Splits the text of a search request into words that must occur, word parts that must occur
// ("*part") and words that must not occur ("-word"). One parser serves one text.
class SearchParser
{
public:
    static const std::string& Whitespace();

    // False when the text is malformed or names nothing to include.
    bool SetSearchText(const std::string& i_text);

    const std::set<std::string>& GetIncludedTokenSet() const { return m_includedTokens; }
    const std::set<std::string>& GetIncludedPartTokenSet() const { return m_includedPartTokens; }
    const std::set<std::string>& GetExcludedTokenSet() const { return m_excludedTokens; }

private:
    bool Tokenize(const std::string& i_text);

    std::set<std::string> m_includedTokens;
    std::set<std::string> m_includedPartTokens;
    std::set<std::string> m_excludedTokens;
};
