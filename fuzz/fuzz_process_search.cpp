#include "FuzzClient.h"
#include "SearchParser.h"
#include "SharedFoldersManager.h"

#include <zlib.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace
{
constexpr int Files = 700;
// Room for the body of 200 records of this index.
constexpr std::size_t MaxBody = 64 * 1024;

std::vector<Item*> g_files;

// A file for every few combinations of short words, in public folders, folders of the user list
// and a folder that no shared folder holds, so that a text of a few words lands on either side of
// the limit for either user. Every 50th file takes the name of another in another folder, and one
// file has no name, as a damaged data file may leave it.
void BuildIndex()
{
    SharedFoldersManager& l_manager = *sharedFoldersManager;
    ItemPtr l_public = d.GetType("shared_folder")->GetItem("/pub");
    l_public += d.GetType("shared_public")->GetGlobalNullItem();
    ItemPtr l_listed = d.GetType("shared_folder")->GetItem("/list");
    l_listed += d.GetType("shared_userlist")->GetGlobalNullItem();
    Type* lp_folderType = d.GetType("shared_file_folder");
    for (int l_file = 0; l_file < Files; ++l_file)
    {
        const int l_place = l_file % 10;
        const std::string l_folder = l_place < 6   ? "/pub/d" + std::to_string(l_file % 4)
                                     : l_place < 9 ? "/list/Mix " + std::to_string(l_file % 3)
                                                   : "/gone";
        ItemPtr l_folderItem = lp_folderType->GetItem(l_folder);
        if (l_place < 6)
            l_public += l_folderItem;
        else if (l_place < 9)
            l_listed += l_folderItem;
        const int l_named = l_file % 50 == 49 ? l_file - 25 : l_file;
        const std::string l_name = "x" + std::to_string(l_named % 7) + " Y" +
                                   std::to_string(l_named % 11) + " z" +
                                   std::to_string(l_named % 3) + "-" + std::to_string(l_named) +
                                   (l_named % 2 ? ".mp3" : ".Txt");
        ItemPtr l_item = l_folderItem.NewItem("shared_file");
        l_item += d.GetType("shared_file_name")->GetItem(l_name);
        l_item += d.GetType("shared_file_size")->GetItem(Value(l_file));
        l_manager.TokenizeSharedFile(l_item);
        g_files.push_back(l_item);
    }
    ItemPtr l_nameless = ItemPtr(lp_folderType->GetItem("/pub/d0")).NewItem("shared_file");
    l_nameless += d.GetType("shared_file_size")->GetItem(Value(1));
    l_manager.TokenizeSharedFile(l_nameless);
    g_files.push_back(l_nameless);
    ItemPtr l_carol = d.GetType("user")->GetItem("carol");
    l_carol.NewItem("in_user_list");
}

// The files that answer the text for the user, found the slow way: every file's own tokens,
// its name and the access rule of each file.
std::optional<std::size_t> ExpectedMatches(const std::string& i_text, const std::string& i_user)
{
    SearchParser l_parser;
    if (!l_parser.SetSearchText(i_text) || l_parser.GetIncludedTokenSet().empty())
        return std::nullopt;
    const std::set<std::string>& l_excluded = l_parser.GetExcludedTokenSet();
    const std::set<std::string>& l_parts = l_parser.GetIncludedPartTokenSet();
    if (l_excluded.size() + l_parts.size() > SharedFoldersManager::MaxSearchNameWords)
        return std::nullopt;
    std::size_t l_count = 0;
    for (Item* lp_file : g_files)
    {
        ItemPtr l_file(lp_file);
        std::set<std::string> l_tokens;
        for (Item* lp_token : l_file.GetItems("search_token"))
            l_tokens.insert(lp_token->Value());
        const std::string l_name = l_file["shared_file_name"].AsString();
        const auto l_inName = [&l_name](const std::string& i_word)
        { return l_name.find(i_word) != std::string::npos; };
        if (std::includes(l_tokens.begin(), l_tokens.end(), l_parser.GetIncludedTokenSet().begin(),
                          l_parser.GetIncludedTokenSet().end()) &&
            std::none_of(l_excluded.begin(), l_excluded.end(), l_inName) &&
            std::all_of(l_parts.begin(), l_parts.end(), l_inName) &&
            sharedFoldersManager->IsFileSharedWithUser(l_file, i_user))
            ++l_count;
    }
    return l_count;
}

// The record count of a reply: after the code, the zlib stream of the user name, the token and
// the count.
std::uint32_t RecordCount(const MemStream& i_reply, std::uint32_t i_token)
{
    const auto* lp_bytes = reinterpret_cast<const Bytef*>(i_reply.GetReadBuffer());
    const auto l_size = uLong(i_reply.GetPendingReadLength());
    Require(l_size > 4 && qFromLittleEndian<quint32>(lp_bytes) == 9, "a reply is a code 9 message");
    std::vector<Bytef> l_body(MaxBody);
    uLongf l_length = l_body.size();
    Require(uncompress(l_body.data(), &l_length, lp_bytes + 4, l_size - 4) == Z_OK,
            "a reply is one zlib stream");
    MemStream l_fields;
    l_fields.WriteBuffer(l_body.data(), l_length);
    std::string l_user;
    quint32 l_token = 0;
    quint32 l_count = 0;
    Require(l_fields.Read(l_user) && l_fields.Read(l_token) && l_fields.Read(l_count),
            "a reply holds its counts");
    Require(l_token == i_token, "a reply carries the search's token");
    return l_count;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ResetStore();
    BuildIndex();
    return 0;
}

// The first byte chooses the searcher (bob sees the public folders, carol those of the user list
// too) and the token; the rest is the text of the search. The reply is what the slow way finds
// when that is between 1 and the limit, and there is none otherwise.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size == 0)
        return 0;
    const std::string l_user = ip_data[0] % 2 ? "carol" : "bob";
    const std::uint32_t l_token = ip_data[0];
    const std::string l_text(reinterpret_cast<const char*>(ip_data + 1), i_size - 1);
    const std::size_t l_items = d.GetType("search_token")->ItemCount();

    const std::optional<MemStream> l_reply =
        sharedFoldersManager->BuildSearchReply(l_user, l_token, l_text);
    const std::optional<std::size_t> l_expected = ExpectedMatches(l_text, l_user);
    const bool l_answered =
        l_expected && *l_expected >= 1 && *l_expected <= SharedFoldersManager::MaxSearchResults;
    Require(l_reply.has_value() == l_answered,
            "a search is answered when 1 to 200 visible files match");
    Require(!l_reply || RecordCount(*l_reply, l_token) == *l_expected,
            "the reply holds every matching file");
    Require(d.GetType("search_token")->ItemCount() == l_items,
            "a search adds no token to the index");
    return 0;
}
