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

// Every kind of value that messages carry, strings and containers of records included: the first
// byte chooses the kind, the rest is a run of values of that kind.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size == 0)
        return 0;
    const std::uint8_t* lp_values = ip_data + 1;
    const std::size_t l_size = i_size - 1;
    switch (ip_data[0] % 14)
    {
        case 0:
            CheckValueRun<std::string>(lp_values, l_size);
            break;
        case 1:
            CheckValueRun<std::list<std::string>>(lp_values, l_size);
            break;
        case 2:
            CheckValueRun<std::list<qint32>>(lp_values, l_size);
            break;
        case 3:
            CheckValueRun<std::set<std::string>>(lp_values, l_size);
            break;
        case 4:
            CheckValueRun<AttributeTranslationTable>(lp_values, l_size);
            break;
        case 5:
            CheckValueRun<TCPAddress>(lp_values, l_size);
            break;
        case 6:
            CheckValueRun<std::list<std::pair<std::string, TCPAddress>>>(lp_values, l_size);
            break;
        case 7:
            CheckValueRun<std::set<FileInfo>>(lp_values, l_size);
            break;
        case 8:
            CheckValueRun<std::list<FileInfo>>(lp_values, l_size);
            break;
        case 9:
            CheckValueRun<FileInfoMap>(lp_values, l_size);
            break;
        case 10:
            CheckValueRun<std::list<UserStats>>(lp_values, l_size);
            break;
        case 11:
            CheckValueRun<std::map<std::string, std::string>>(lp_values, l_size);
            break;
        case 12:
            CheckValueRun<quint8>(lp_values, l_size);
            break;
        default:
            CheckValueRun<std::pair<qint64, quint64>>(lp_values, l_size);
            break;
    }
    return 0;
}
