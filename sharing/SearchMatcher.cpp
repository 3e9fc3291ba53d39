#include "SearchMatcher.h"

#include "Item.h"
#include "SearchParser.h"
#include "Type.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace
{
// The one item of the type connected to the item, or null.
Item* OneConnected(Item* ip_item, Type* ip_type)
{
    const ItemSet* lp_items = ip_item->ConnectedItems(ip_type);
    return lp_items ? lp_items->front() : nullptr;
}
} // namespace

SearchMatcher::SearchMatcher(const Vocabulary& i_types, const SearchParser& i_parser)
    : m_types(i_types), m_excluded(i_parser.GetExcludedTokenSet()),
      m_parts(i_parser.GetIncludedPartTokenSet())
{
    for (const std::string& l_word : m_excluded)
        if (l_word.size() == 1)
            m_excludesBytes = m_excludedBytes[static_cast<unsigned char>(l_word[0])] = true;
        else
            m_excludedWords.push_back(l_word);
    std::vector<const ItemSet*> l_groups;
    for (const std::string& l_word : i_parser.GetIncludedTokenSet())
    {
        Item* lp_token = m_types.mp_token->HasItem(l_word);
        const ItemSet* lp_files = lp_token ? lp_token->ConnectedItems(m_types.mp_file) : nullptr;
        if (!lp_files)
            return;
        m_otherTokens.push_back(lp_token);
        l_groups.push_back(lp_files);
    }
    if (l_groups.empty())
        return;
    const auto l_rarest = std::min_element(l_groups.begin(), l_groups.end(),
                                           [](const ItemSet* ip_a, const ItemSet* ip_b)
                                           { return ip_a->size() < ip_b->size(); });
    mp_walked = *l_rarest;
    m_otherTokens.erase(m_otherTokens.begin() + (l_rarest - l_groups.begin()));
    // A word that every file holds needs no check; one not far more common than the rarest is
    // followed alongside; the others stay to be looked for among a file's own tokens.
    const std::size_t l_files = m_types.mp_file->ItemCount();
    for (Item* lp_token : m_otherTokens)
        if (lp_token->ConnectedItems(m_types.mp_file)->size() != l_files)
            m_includedTokens.push_back(lp_token);
    std::sort(m_includedTokens.begin(), m_includedTokens.end());
    std::erase_if(m_otherTokens,
                  [this, l_files](Item* ip_token)
                  {
                      const ItemSet* lp_files = ip_token->ConnectedItems(m_types.mp_file);
                      if (lp_files->size() == l_files)
                          return true;
                      if (lp_files->size() / FollowedRatio > mp_walked->size())
                          return false;
                      m_followers.push_back({lp_files->begin(), lp_files->end()});
                      return true;
                  });
    std::sort(m_otherTokens.begin(), m_otherTokens.end());

    if (m_parts.empty() || mp_walked->size() * WordsPerWalkedFile <= m_types.mp_token->ItemCount())
        return;
    // The longest part is likely the rarest.
    const std::string& l_part = *std::max_element(m_parts.begin(), m_parts.end(),
                                                  [](const std::string& i_a, const std::string& i_b)
                                                  { return i_a.size() < i_b.size(); });
    if (!NarrowByPart(l_part))
        return;
    m_isNarrowed = true;
    m_followers.clear();
    m_otherTokens.clear();
    for (const std::string& l_word : i_parser.GetIncludedTokenSet())
    {
        Item* lp_token = m_types.mp_token->HasItem(l_word);
        if (lp_token->ConnectedItems(m_types.mp_file)->size() != l_files)
            m_otherTokens.push_back(lp_token);
    }
    std::sort(m_otherTokens.begin(), m_otherTokens.end());
}

bool SearchMatcher::NarrowByPart(const std::string& i_part)
{
    // The index splits names at these bytes and lowercases ASCII letters.
    if (i_part.find_first_of(" /\\") != std::string::npos)
        return false;
    std::string l_lower = i_part;
    for (char& l_byte : l_lower)
        if (l_byte >= 'A' && l_byte <= 'Z')
            l_byte = char(l_byte - 'A' + 'a');
    std::size_t l_total = 0;
    std::vector<const ItemSet*> l_groups;
    for (Item* lp_token : m_types.mp_token->Items())
    {
        if (lp_token->Value().find(l_lower) == std::string::npos)
            continue;
        const ItemSet* lp_files = lp_token->ConnectedItems(m_types.mp_file);
        if (!lp_files)
            continue;
        l_total += lp_files->size();
        if (l_total >= mp_walked->size())
            return false;
        l_groups.push_back(lp_files);
    }
    m_narrowed.reserve(l_total);
    for (const ItemSet* lp_files : l_groups)
        m_narrowed.insert(m_narrowed.end(), lp_files->begin(), lp_files->end());
    std::sort(m_narrowed.begin(), m_narrowed.end(),
              [](Item* ip_a, Item* ip_b) { return ip_a->Serial() < ip_b->Serial(); });
    m_narrowed.erase(std::unique(m_narrowed.begin(), m_narrowed.end()), m_narrowed.end());
    return true;
}

std::vector<Item*> SearchMatcher::Find(ItemSet i_visible, bool i_seesEveryFile,
                                       const std::function<bool()>& i_isEveryFileNamed,
                                       std::size_t i_limit)
{
    m_visible = std::move(i_visible);
    m_seesEveryFile = i_seesEveryFile;
    if (!mp_walked || m_visible.empty())
        return {};
    // Every file of the rarest word matches: its count alone decides.
    if (m_seesEveryFile && m_followers.empty() && m_otherTokens.empty() && m_excluded.empty() &&
        m_parts.empty())
    {
        if (mp_walked->size() > i_limit)
            return {};
        return std::vector<Item*>(mp_walked->begin(), mp_walked->end());
    }
    if (m_isNarrowed)
        return Walk(m_narrowed, i_limit);
    // A file without a name is reached through no name; it matches only words that an empty
    // name passes.
    if ((!m_excluded.empty() || !m_parts.empty()) &&
        m_types.mp_name->ItemCount() <= mp_walked->size() * NamesPerWalkedFile &&
        (!NameMatches(std::string()) || i_isEveryFileNamed()))
        return WalkNames(i_limit);
    return Walk(*mp_walked, i_limit);
}

std::vector<Item*> SearchMatcher::WalkNames(std::size_t i_limit)
{
    const bool l_walksEveryFile = mp_walked->size() == m_types.mp_file->ItemCount();
    std::vector<Item*> l_matches;
    for (Item* lp_name : m_types.mp_name->Items())
    {
        if (!NameMatches(lp_name->Value()))
            continue;
        const ItemSet* lp_files = lp_name->ConnectedItems(m_types.mp_file);
        if (!lp_files)
            continue;
        for (Item* lp_file : *lp_files)
        {
            if ((!l_walksEveryFile && !mp_walked->contains(lp_file)) ||
                !HoldsTokens(lp_file, m_includedTokens) || !IsVisible(lp_file))
                continue;
            if (l_matches.size() == i_limit)
                return {};
            l_matches.push_back(lp_file);
        }
    }
    std::sort(l_matches.begin(), l_matches.end(),
              [](Item* ip_a, Item* ip_b) { return ip_a->Serial() < ip_b->Serial(); });
    return l_matches;
}

template <typename Files>
std::vector<Item*> SearchMatcher::Walk(const Files& i_files, std::size_t i_limit)
{
    std::vector<Item*> l_matches;
    bool l_more = true;
    for (auto l_at = i_files.begin(); l_at != i_files.end() && l_more; ++l_at)
    {
        Item* lp_file = *l_at;
        if (!HoldsFollowedWords(lp_file, l_more) || !HoldsTokens(lp_file, m_otherTokens) ||
            !NameMatches(lp_file) || !IsVisible(lp_file))
            continue;
        if (l_matches.size() == i_limit)
            return {};
        l_matches.push_back(lp_file);
    }
    return l_matches;
}

bool SearchMatcher::HoldsFollowedWords(Item* ip_file, bool& o_more)
{
    const std::uint64_t l_serial = ip_file->Serial();
    for (Follower& l_follower : m_followers)
    {
        while (l_follower.m_at != l_follower.m_end && (*l_follower.m_at)->Serial() < l_serial)
            ++l_follower.m_at;
        if (l_follower.m_at == l_follower.m_end)
        {
            o_more = false;
            return false;
        }
        if (*l_follower.m_at != ip_file)
            return false;
    }
    return true;
}

bool SearchMatcher::HoldsTokens(Item* ip_file, const std::vector<Item*>& i_tokens) const
{
    if (i_tokens.empty())
        return true;
    // The file's own few tokens, compared by address: asking the other words' large sets would
    // read a dozen items scattered in memory for each file.
    const ItemSet* lp_held = ip_file->ConnectedItems(m_types.mp_token);
    if (!lp_held)
        return false;
    std::size_t l_count = 0;
    for (Item* lp_token : *lp_held)
        if (std::binary_search(i_tokens.begin(), i_tokens.end(), lp_token))
            ++l_count;
    return l_count == i_tokens.size();
}

bool SearchMatcher::NameMatches(Item* ip_file) const
{
    if (m_excluded.empty() && m_parts.empty())
        return true;
    Item* lp_name = OneConnected(ip_file, m_types.mp_name);
    const std::string l_none;
    return NameMatches(lp_name ? lp_name->Value() : l_none);
}

bool SearchMatcher::NameMatches(const std::string& i_name) const
{
    if (m_excludesBytes)
        for (char l_byte : i_name)
            if (m_excludedBytes[static_cast<unsigned char>(l_byte)])
                return false;
    const auto l_inName = [&i_name](std::string_view i_word)
    { return i_name.find(i_word) != std::string::npos; };
    return std::none_of(m_excludedWords.begin(), m_excludedWords.end(), l_inName) &&
           std::all_of(m_parts.begin(), m_parts.end(), l_inName);
}

bool SearchMatcher::IsVisible(Item* ip_file)
{
    if (m_seesEveryFile)
        return true;
    Item* lp_folder = OneConnected(ip_file, m_types.mp_folder);
    if (lp_folder != mp_lastFolder || !lp_folder)
    {
        const ItemSet* lp_shares =
            lp_folder ? lp_folder->ConnectedItems(m_types.mp_sharedFolder) : nullptr;
        mp_lastFolder = lp_folder;
        m_lastFolderVisible = lp_shares && std::any_of(lp_shares->begin(), lp_shares->end(),
                                                       [this](Item* ip_share)
                                                       { return m_visible.contains(ip_share); });
    }
    return m_lastFolderVisible;
}
