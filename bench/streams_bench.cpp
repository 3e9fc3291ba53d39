// Throughput of MemStream writing and reading FileInfo records, beside memcpy of the same bytes.
#include "FileInfo.h"
#include "MemStream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr int recordCount = 1000000;
constexpr int rounds = 5;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point i_start)
{
    return std::chrono::duration<double>(Clock::now() - i_start).count();
}

double MegabytesPerSecond(qint64 i_bytes, double i_seconds)
{
    return double(i_bytes) / 1e6 / i_seconds;
}

std::vector<FileInfo> MakeRecords()
{
    std::vector<FileInfo> l_records(recordCount);
    for (int l_index = 0; l_index < recordCount; ++l_index)
    {
        FileInfo& l_file = l_records[l_index];
        l_file.m_name = "Music\\Artist " + std::to_string(l_index % 997) + "\\Album " +
                        std::to_string(l_index % 31) + "\\" + std::to_string(l_index) +
                        " - Some track title.mp3";
        l_file.m_size = 3000000 + l_index;
        l_file.m_attributes.m_extension = "mp3";
        l_file.m_attributes.Add(AttributeMap::Bitrate, 128 + l_index % 192);
        l_file.m_attributes.Add(AttributeMap::VariableBitrate, l_index % 2);
    }
    return l_records;
}
} // namespace

int main()
{
    const std::vector<FileInfo> l_records = MakeRecords();

    double l_bestWrite = 1e9;
    MemStream l_encoded;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        MemStream l_stream;
        const Clock::time_point l_start = Clock::now();
        for (const FileInfo& l_file : l_records)
            l_file.Write(l_stream);
        l_bestWrite = std::min(l_bestWrite, Seconds(l_start));
        l_encoded = l_stream;
    }
    const qint32 l_bytes = l_encoded.GetPendingReadLength();

    // The same again into a stream that already has the room: the encoding alone.
    double l_bestRewrite = 1e9;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        MemStream l_stream;
        l_stream.EnsureBufferCapacity(l_bytes + 1);
        std::memset(l_stream.GetWriteBuffer(), 0, l_bytes + 1);
        const Clock::time_point l_start = Clock::now();
        for (const FileInfo& l_file : l_records)
            l_file.Write(l_stream);
        l_bestRewrite = std::min(l_bestRewrite, Seconds(l_start));
    }

    double l_bestRead = 1e9;
    qint64 l_checksum = 0;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        MemStream l_stream;
        l_stream.EnsureBufferCapacity(l_bytes);
        std::memcpy(l_stream.GetWriteBuffer(), l_encoded.GetReadBuffer(), l_bytes);
        l_stream.AdvanceWriteIndex(l_bytes);
        FileInfo l_file;
        const Clock::time_point l_start = Clock::now();
        for (int l_index = 0; l_index < recordCount; ++l_index)
        {
            if (!l_file.Read(l_stream))
            {
                std::fprintf(stderr, "record %d did not read back\n", l_index);
                return 1;
            }
            l_checksum += l_file.m_size + qint64(l_file.m_name.size());
        }
        l_bestRead = std::min(l_bestRead, Seconds(l_start));
    }

    double l_bestCopy = 1e9;
    std::unique_ptr<char[]> lp_copy(new char[l_bytes]);
    std::memset(lp_copy.get(), 1, l_bytes);
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        const Clock::time_point l_start = Clock::now();
        std::memcpy(lp_copy.get(), l_encoded.GetReadBuffer(), l_bytes);
        l_bestCopy = std::min(l_bestCopy, Seconds(l_start));
        l_checksum += lp_copy[l_round];
    }

    // A new array must first be faulted in, as a growing stream's is.
    double l_bestFreshCopy = 1e9;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        const Clock::time_point l_start = Clock::now();
        std::unique_ptr<char[]> lp_fresh(new char[l_bytes]);
        std::memcpy(lp_fresh.get(), l_encoded.GetReadBuffer(), l_bytes);
        l_checksum += lp_fresh[l_round];
        l_bestFreshCopy = std::min(l_bestFreshCopy, Seconds(l_start));
    }

    std::printf("records: %d\n", recordCount);
    std::printf("bytes: %d\n", l_bytes);
    std::printf("MemStream write, growing from 256 bytes (MB/s): %.0f\n",
                MegabytesPerSecond(l_bytes, l_bestWrite));
    std::printf("MemStream write, room made beforehand (MB/s): %.0f\n",
                MegabytesPerSecond(l_bytes, l_bestRewrite));
    std::printf("MemStream read (MB/s): %.0f\n", MegabytesPerSecond(l_bytes, l_bestRead));
    std::printf("memcpy (MB/s): %.0f\n", MegabytesPerSecond(l_bytes, l_bestCopy));
    std::printf("memcpy into a new array (MB/s): %.0f\n",
                MegabytesPerSecond(l_bytes, l_bestFreshCopy));
    std::printf("checksum: %lld\n", static_cast<long long>(l_checksum));
    return 0;
}
