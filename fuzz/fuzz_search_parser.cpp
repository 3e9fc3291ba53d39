#include "FuzzChecks.h"
#include "SearchParser.h"

#include <set>
#include <string>

namespace
{
void CheckTokens(const std::set<std::string>& i_tokens)
{
    for (const std::string& l_token : i_tokens)
        Require(!l_token.empty() && l_token.find('"') == std::string::npos,
                "a token is never empty and never holds a quote");
}
} // namespace

// The text of a search request, from the user or from another user's search.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    SearchParser l_parser;
    const bool l_accepted =
        l_parser.SetSearchText(std::string(reinterpret_cast<const char*>(ip_data), i_size));
    CheckTokens(l_parser.GetIncludedTokenSet());
    CheckTokens(l_parser.GetIncludedPartTokenSet());
    CheckTokens(l_parser.GetExcludedTokenSet());
    Require(!l_accepted || !l_parser.GetIncludedTokenSet().empty() ||
                !l_parser.GetIncludedPartTokenSet().empty(),
            "an accepted text names something to include");
    return 0;
}
