#pragma once

#include "ItemSet.h"

#include <array>
#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class Item;
class SearchParser;
class Type;

// The own files that answer one search: those that hold the token of every included word, whose
// bare names contain every "*part" and no "-word" (bytes compared exactly), and that lie in a
// shared folder the searcher may see. Only the rarest word's files are walked, and the walk ends
// at the first file past the limit. The files of a word not much more common are followed
// alongside in serial order; a file's own tokens tell whether it holds a far more common word; a
// word that every file holds costs nothing, and so does visibility for a searcher who sees every
// file. With "-word"s or "*part"s and a walk that would read about as many names as the index
// holds, the distinct names are read instead, each once, and only the files of those that pass
// are looked at: a name serves every file of that name, and a search whose name words drop
// nearly every file then reads no file at all. A "*part" narrows the walk through the words as
// well: a name holding it holds it within one of its words that end at a space or slash,
// lowercased, so the files of the index's words that contain the part are the only ones that may
// match; when those are fewer than the rarest word's files, they are walked instead.
class SearchMatcher
{
public:
    // The index's types.
    struct Vocabulary
    {
        Type* mp_file;
        Type* mp_token;
        Type* mp_name;
        Type* mp_folder;
        Type* mp_sharedFolder;
    };

    // Looks up the included words; the parser must outlive the matcher.
    SearchMatcher(const Vocabulary& i_types, const SearchParser& i_parser);

    // False when there is no included word or one that no file holds.
    bool MayMatch() const { return mp_walked != nullptr; }
    // The matching files in serial order; empty when none or more than i_limit match.
    // i_visible: the shared folders that the searcher may see; i_seesEveryFile: they hold every
    // file of the index. i_isEveryFileNamed tells whether every file has a name, which the walk
    // through the names needs to know when a file without one would match.
    std::vector<Item*> Find(ItemSet i_visible, bool i_seesEveryFile,
                            const std::function<bool()>& i_isEveryFileNamed, std::size_t i_limit);

private:
    // A word's files, followed alongside the walk; at the end, no later file can hold it.
    struct Follower
    {
        ItemSet::const_iterator m_at;
        ItemSet::const_iterator m_end;
    };
    // Files of a word at most this many times as common as the rarest are followed.
    static constexpr std::size_t FollowedRatio = 16;
    // Reading a name item costs about as much as reading a walked file and its name: the names
    // are read instead of the walked files when there are at most this many for each.
    static constexpr std::size_t NamesPerWalkedFile = 2;
    // Reading the index's words for a part costs about this many words per walked file saved:
    // a part narrows the walk only when the rarest word has more files than the index has words
    // divided by this.
    static constexpr std::size_t WordsPerWalkedFile = 4;

    // The files of every word that contains the part, in serial order; false when they are not
    // fewer than the rarest word's files or the part may reach over the end of a word.
    bool NarrowByPart(const std::string& i_part);
    template <typename Files> std::vector<Item*> Walk(const Files& i_files, std::size_t i_limit);
    // The walk through the distinct names.
    std::vector<Item*> WalkNames(std::size_t i_limit);

    // False also when a followed word has no file past this one: i_more tells whether any may
    // still match.
    bool HoldsFollowedWords(Item* ip_file, bool& o_more);
    // Whether the file holds every token of the sorted list.
    bool HoldsTokens(Item* ip_file, const std::vector<Item*>& i_tokens) const;
    bool NameMatches(Item* ip_file) const;
    bool NameMatches(const std::string& i_name) const;
    bool IsVisible(Item* ip_file);

    Vocabulary m_types;
    const std::set<std::string>& m_excluded;
    const std::set<std::string>& m_parts;
    // The excluded words of one byte, looked for in one pass over a name, and the others.
    std::array<bool, 256> m_excludedBytes{};
    bool m_excludesBytes = false;
    std::vector<std::string_view> m_excludedWords;
    ItemSet m_visible;
    bool m_seesEveryFile = false;
    // The files of the rarest included word; null when a word is held by no file.
    const ItemSet* mp_walked = nullptr;
    // The files walked instead when a part narrows them; every included word is then checked
    // among a file's own tokens.
    std::vector<Item*> m_narrowed;
    bool m_isNarrowed = false;
    std::vector<Follower> m_followers;
    // The tokens of the far more common words that not every file holds, by address.
    std::vector<Item*> m_otherTokens;
    // The tokens of every included word but the rarest that not every file holds, by address:
    // what a file reached through its name must hold.
    std::vector<Item*> m_includedTokens;
    // The last folder asked about: a folder's files come one after another.
    Item* mp_lastFolder = nullptr;
    bool m_lastFolderVisible = false;
};
