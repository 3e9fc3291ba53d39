#include "MP3Scanner.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <array>
#include <vector>

namespace
{
constexpr qint64 chunkSize = 65536;

// Frame header fields as they are counted.
enum VersionSlot
{
    Mpeg1,
    Mpeg2,
    Mpeg25,
    VersionSlots
};
constexpr int protectionValues = 2;
constexpr int frequencyValues = 3;
constexpr int channelModes = 4;
constexpr int bitrateIndexes = 16;
constexpr int maxBitrate = 320;

// Layer III bitrates in kbit/s by bitrate index 1 to 14, for MPEG-1 and MPEG-2.
constexpr std::array<std::array<int, 15>, 2> bitrates{{
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
}};

const char* const channelModeNames[channelModes] = {"stereo", "joint stereo", "dual mono", "mono"};

// The votes of every examined header, and the candidate frames counted by their fields rather
// than listed, so that memory stays the same whatever the file holds.
struct Tally
{
    std::array<qint64, VersionSlots> m_versions{};
    std::array<qint64, protectionValues> m_protection{};
    std::array<qint64, frequencyValues> m_frequencies{};
    std::array<qint64, channelModes> m_channelModes{};
    std::array<qint64,
               VersionSlots * protectionValues * frequencyValues * channelModes * bitrateIndexes>
        m_candidates{};
    qint64 m_candidateCount = 0;

    static int CandidateIndex(int i_version, int i_protection, int i_frequency, int i_channelMode,
                              int i_bitrateIndex)
    {
        return (((i_version * protectionValues + i_protection) * frequencyValues + i_frequency) *
                    channelModes +
                i_channelMode) *
                   bitrateIndexes +
               i_bitrateIndex;
    }

    void Examine(const uchar* ip_header)
    {
        if (ip_header[0] != 0xFF || (ip_header[1] & 0xE0) != 0xE0)
            return;
        int l_version;
        switch ((ip_header[1] >> 3) & 3)
        {
            case 3:
                l_version = Mpeg1;
                break;
            case 2:
                l_version = Mpeg2;
                break;
            case 0:
                l_version = Mpeg25;
                break;
            default:
                return;
        }
        ++m_versions[l_version];
        if (((ip_header[1] >> 1) & 3) != 1)
            return;
        const int l_protection = ip_header[1] & 1;
        ++m_protection[l_protection];
        const int l_frequency = (ip_header[2] >> 2) & 3;
        if (l_frequency == 3)
            return;
        ++m_frequencies[l_frequency];
        const int l_channelMode = ip_header[3] >> 6;
        ++m_channelModes[l_channelMode];
        const int l_bitrateIndex = ip_header[2] >> 4;
        if (l_bitrateIndex == 0 || l_bitrateIndex == 15)
            return;
        ++m_candidates[CandidateIndex(l_version, l_protection, l_frequency, l_channelMode,
                                      l_bitrateIndex)];
        ++m_candidateCount;
    }
};

// The value with the most votes; a tie goes to the higher value.
template <std::size_t N> int Elect(const std::array<qint64, N>& i_votes)
{
    int l_winner = int(N) - 1;
    for (int l_value = int(N) - 2; l_value >= 0; --l_value)
        if (i_votes[l_value] > i_votes[l_winner])
            l_winner = l_value;
    return l_winner;
}
} // namespace

void MP3Scanner::Quit()
{
    QMutexLocker l_lock(&m_mutex);
    m_quitRequested = true;
}

bool MP3Scanner::QuitRequested()
{
    QMutexLocker l_lock(&m_mutex);
    return m_quitRequested;
}

void MP3Scanner::OnMP3ScanRequired(QString i_file)
{
    int l_version = 0;
    std::string l_channelMode;
    int l_frequency = 0;
    bool l_isVBR = false;
    int l_bitrate = -1;
    if (ScanMP3(i_file.toLatin1().toStdString(), l_version, l_channelMode, l_frequency, l_isVBR,
                l_bitrate))
        emit MP3Scanned(i_file, l_version, QString::fromStdString(l_channelMode), l_frequency,
                        l_isVBR, l_bitrate);
}

bool MP3Scanner::ScanMP3(const std::string& i_path, int& i_mpegVersion, std::string& i_channelMode,
                         int& i_frequency, bool& i_isVBR, int& i_bitrate)
{
    if (QuitRequested())
        return false;
    i_bitrate = -1;
    const QString l_path = QString::fromUtf8(i_path.data(), qsizetype(i_path.size()));
    // Opening a pipe or a device would wait for a writer or never end.
    if (!QFileInfo(l_path).isFile())
        return false;
    QFile l_file(l_path);
    if (!l_file.open(QIODevice::ReadOnly))
        return false;
    if (l_file.size() <= 0)
        return false;

    Tally l_tally;
    std::vector<uchar> l_buffer(chunkSize);
    qint64 l_remaining = qMin(l_file.size(), MaxScannedBytes);
    while (l_remaining > 0)
    {
        if (QuitRequested())
            return false;
        const qint64 l_read =
            l_file.read(reinterpret_cast<char*>(l_buffer.data()), qMin(l_remaining, chunkSize));
        if (l_read < 0)
            return false;
        // The file shrank while being read.
        if (l_read == 0)
            break;
        l_remaining -= l_read;
        // A header needs its four bytes and one more in the same chunk.
        for (qint64 l_position = 0; l_position + 4 < l_read; ++l_position)
            l_tally.Examine(l_buffer.data() + l_position);
    }

    int l_version;
    if (l_tally.m_versions[Mpeg2] >= l_tally.m_versions[Mpeg1])
    {
        l_version = Mpeg2;
        if (l_tally.m_versions[Mpeg25] >= l_tally.m_versions[Mpeg2])
            return false;
    }
    else
    {
        l_version = Mpeg1;
        if (l_tally.m_versions[Mpeg25] >= l_tally.m_versions[Mpeg1])
            return false;
    }
    const int l_protection = l_tally.m_protection[1] > l_tally.m_protection[0] ? 1 : 0;
    const int l_frequency = Elect(l_tally.m_frequencies);
    const int l_channelMode = Elect(l_tally.m_channelModes);
    if (l_tally.m_candidateCount == 0)
        return false;

    std::array<qint64, maxBitrate + 1> l_histogram{};
    qint64 l_sum = 0;
    qint64 l_count = 0;
    for (int l_index = 1; l_index <= 14; ++l_index)
    {
        const qint64 l_frames = l_tally.m_candidates[Tally::CandidateIndex(
            l_version, l_protection, l_frequency, l_channelMode, l_index)];
        const int l_rate = bitrates[l_version][l_index];
        l_histogram[l_rate] += l_frames;
        l_sum += l_rate * l_frames;
        l_count += l_frames;
    }
    if (l_count == 0)
        return false;

    i_mpegVersion = l_version == Mpeg1 ? 1 : 2;
    i_channelMode = channelModeNames[l_channelMode];
    i_frequency = l_frequency;
    i_bitrate = static_cast<int>(l_sum / l_count);
    i_isVBR = true;
    // Constant when one bitrate covers at least 99 whole percent of the counted frames.
    for (int l_rate = 1; l_rate <= maxBitrate; ++l_rate)
        if (l_histogram[l_rate] * 100 / l_count > 98)
        {
            i_isVBR = false;
            i_bitrate = l_rate;
        }
    return true;
}
