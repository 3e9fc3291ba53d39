#include "FilterParser.h"
#include "FuzzClient.h"

#include <cstring>

namespace
{
// Search results as the peer layer makes them: one with every attribute the filter reads, one
// with none.
ItemPtr g_fullFile;
ItemPtr g_bareFile;

void CheckMatching(const FilterParser& i_filter, const QString& i_text, ItemPtr i_file)
{
    const int l_result = i_filter.IsMatching(i_text, nullptr, i_file);
    FilterParser l_residual;
    Require(i_filter.IsMatching(i_text, &l_residual, i_file) == l_result,
            "a residual filter does not change the result");
    if (l_result == FilterParser::LacksIncludedWord)
        Require(l_residual.IsMatching(i_text, nullptr, ItemPtr()) ==
                    FilterParser::LacksIncludedWord,
                "the residual still lacks the words the text lacked");
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance();
    g_fullFile = d["search_result"]->NewItem();
    g_fullFile += (*d["bitrate_mode"])[Value("cbr")];
    g_fullFile += (*d["bitrate"])[Value(320)];
    g_fullFile += (*d["file_size"])[Value(qint64(5000000))];
    g_bareFile = d["search_result"]->NewItem();
    return 0;
}

// A filter as the user types it over results, then the text of a file to test: the two are
// separated by the first line break.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    const char* lp_text = reinterpret_cast<const char*>(ip_data);
    const char* lp_break = static_cast<const char*>(std::memchr(lp_text, '\n', i_size));
    const std::size_t l_filterSize = lp_break ? std::size_t(lp_break - lp_text) : i_size;
    const std::size_t l_fileOffset = lp_break ? l_filterSize + 1 : i_size;

    FilterParser l_filter;
    l_filter.Parse(QString::fromUtf8(lp_text, qsizetype(l_filterSize)));
    const QString l_fileText =
        QString::fromUtf8(lp_text + l_fileOffset, qsizetype(i_size - l_fileOffset));
    CheckMatching(l_filter, l_fileText, ItemPtr());
    CheckMatching(l_filter, l_fileText, g_fullFile);
    CheckMatching(l_filter, l_fileText, g_bareFile);
    return 0;
}
