#include "FuzzChecks.h"
#include "FuzzClient.h"
#include "MP3Scanner.h"

#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace
{
// Layer III bitrates in kbit/s, MPEG-1 and MPEG-2 (also 2.5).
constexpr std::array<int, 14> mpeg1Bitrates{32,  40,  48,  56,  64,  80,  96,
                                            112, 128, 160, 192, 224, 256, 320};
constexpr std::array<int, 14> mpeg2Bitrates{8,  16, 24, 32,  40,  48,  56,
                                            64, 80, 96, 112, 128, 144, 160};

struct Result
{
    int m_mpegVersion;
    QString m_channelMode;
    int m_frequency;
    bool m_isVBR;
    int m_bitrate;
};

std::unique_ptr<QTemporaryDir> gp_folder;
MP3Scanner* gp_scanner = nullptr;
std::optional<Result> g_result;

bool IsListed(const std::array<int, 14>& i_table, int i_bitrate)
{
    return std::find(i_table.begin(), i_table.end(), i_bitrate) != i_table.end();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gp_folder = std::make_unique<QTemporaryDir>(FuzzClient::TemporaryTemplate("fuzz_mp3_scanner"));
    Require(gp_folder->isValid(), "a temporary folder");
    gp_scanner = new MP3Scanner;
    QObject::connect(
        gp_scanner, &MP3Scanner::MP3Scanned,
        [](QString, int i_version, QString i_channelMode, int i_frequency, bool i_isVBR,
           int i_bitrate) {
            g_result = Result{i_version, i_channelMode, i_frequency, i_isVBR, i_bitrate};
        });
    return 0;
}

// A file on disk as the sharing service hands it to the scanner: a scan either reports nothing or
// an MPEG version, a channel mode, a sampling-frequency index and a bitrate that the frame headers
// can carry: one of the version's table when constant, an average between its least and greatest
// when variable.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    const QString l_path = gp_folder->filePath(QStringLiteral("input.mp3"));
    FuzzClient::WriteInput(l_path, ip_data, i_size);
    g_result.reset();
    gp_scanner->OnMP3ScanRequired(QString::fromLatin1(l_path.toUtf8()));
    if (!g_result)
        return 0;
    const Result& l_result = *g_result;
    Require(l_result.m_mpegVersion == 1 || l_result.m_mpegVersion == 2, "a known MPEG version");
    Require(l_result.m_channelMode == QLatin1String("stereo") ||
                l_result.m_channelMode == QLatin1String("joint stereo") ||
                l_result.m_channelMode == QLatin1String("dual mono") ||
                l_result.m_channelMode == QLatin1String("mono"),
            "a known channel mode");
    Require(l_result.m_frequency >= 0 && l_result.m_frequency <= 2, "a valid frequency index");
    const std::array<int, 14>& l_table =
        l_result.m_mpegVersion == 1 ? mpeg1Bitrates : mpeg2Bitrates;
    if (l_result.m_isVBR)
        Require(l_result.m_bitrate >= l_table.front() && l_result.m_bitrate <= l_table.back(),
                "an average bitrate within the version's table");
    else
        Require(IsListed(l_table, l_result.m_bitrate),
                "a constant bitrate from the version's table");
    return 0;
}
