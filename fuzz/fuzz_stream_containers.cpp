#include "AttributeTranslationTable.h"
#include "FileInfo.h"
#include "FileInfoMap.h"
#include "StreamChecks.h"
#include "TCPAddress.h"
#include "UserStats.h"

#include <list>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace
{
template <class T> void Run(const std::uint8_t* ip_bytes, std::size_t i_size)
{
    CheckValueRun<T>(ip_bytes, i_size);
}

using Check = void (*)(const std::uint8_t*, std::size_t);
constexpr Check kinds[] = {Run<std::string>,
                           Run<std::list<std::string>>,
                           Run<std::list<qint32>>,
                           Run<std::set<std::string>>,
                           Run<AttributeTranslationTable>,
                           Run<TCPAddress>,
                           Run<std::list<std::pair<std::string, TCPAddress>>>,
                           Run<std::set<FileInfo>>,
                           Run<std::list<FileInfo>>,
                           Run<FileInfoMap>,
                           Run<std::list<UserStats>>,
                           Run<std::map<std::string, std::string>>,
                           Run<quint8>,
                           Run<std::pair<qint64, quint64>>};
} // namespace

// Every kind of value that messages carry, strings and containers of records included: the first
// byte chooses the kind, the rest is a run of values of that kind.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size > 0)
        kinds[ip_data[0] % std::size(kinds)](ip_data + 1, i_size - 1);
    return 0;
}
