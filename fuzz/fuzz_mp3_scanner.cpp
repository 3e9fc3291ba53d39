#include "FuzzClient.h"
#include "MP3Scanner.h"

#include <QTemporaryDir>

#include <array>
#include <memory>
#include <optional>
#include <tuple>

namespace
{
// Layer III bitrates in kbit/s, MPEG-1 and MPEG-2 (also 2.5).
constexpr std::array<int, 14> mpeg1Bitrates{32,  40,  48,  56,  64,  80,  96,
                                            112, 128, 160, 192, 224, 256, 320};
constexpr std::array<int, 14> mpeg2Bitrates{8,  16, 24, 32,  40,  48,  56,
                                            64, 80, 96, 112, 128, 144, 160};

std::unique_ptr<QTemporaryDir> gp_folder;
MP3Scanner* gp_scanner = nullptr;
// The version, whether variable, and the bitrate of the last scan that reported.
std::optional<std::tuple<int, bool, int>> g_result;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gp_folder = std::make_unique<QTemporaryDir>(FuzzClient::TemporaryTemplate("fuzz_mp3_scanner"));
    Require(gp_folder->isValid(), "a temporary folder");
    gp_scanner = new MP3Scanner;
    QObject::connect(gp_scanner, &MP3Scanner::MP3Scanned,
                     [](QString, int i_version, QString, int, bool i_isVBR, int i_bitrate)
                     { g_result.emplace(i_version, i_isVBR, i_bitrate); });
    return 0;
}

// A file on disk as the sharing service hands it to the scanner: a scan either reports nothing or
// an MPEG version and a bitrate that the frame headers can carry: one of the version's table when
// constant, an average between its least and greatest when variable.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    const QString l_path = gp_folder->filePath(QStringLiteral("input.mp3"));
    FuzzClient::WriteInput(l_path, ip_data, i_size);
    g_result.reset();
    gp_scanner->OnMP3ScanRequired(QString::fromLatin1(l_path.toUtf8()));
    if (!g_result)
        return 0;
    const auto [l_version, l_isVBR, l_bitrate] = *g_result;
    Require(l_version == 1 || l_version == 2, "a known MPEG version");
    const std::array<int, 14>& l_table = l_version == 1 ? mpeg1Bitrates : mpeg2Bitrates;
    Require(l_isVBR ? l_bitrate >= l_table.front() && l_bitrate <= l_table.back()
                    : std::find(l_table.begin(), l_table.end(), l_bitrate) != l_table.end(),
            "a bitrate from the version's table, or an average within it when variable");
    return 0;
}
