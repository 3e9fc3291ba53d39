#include "SharingFixture.h"

#include "Data.h"
#include "TestSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace
{
void DeclareNeighbourTypes()
{
    if (!d.HasType("user"))
    {
        d.NewType("user", true, false, true);
        d.NewType("in_user_list", false, true, true);
        d.NewType("user_list_group", true, false, true);
        d.GetType("user")->RelateToType("in_user_list", One, One, false);
        d.GetType("in_user_list")->RelateToType("user_list_group", Many, Many, false);
    }
    if (!d.HasType("file_size"))
        for (const char* lp_type : {"file_size", "mpeg_version", "channel_mode", "audio_frequency",
                                    "bitrate_mode", "bitrate", "length_seconds"})
            d.NewType(lp_type, false, false, true);
}
} // namespace

SharingFixture::SharingFixture() : mp_dataSaver(std::make_unique<DataSaver>())
{
    TestSettings::Declare();
    DeclareNeighbourTypes();
    mp_manager = std::make_unique<SharedFoldersManager>();
}

SharingFixture::~SharingFixture() = default;

bool SharingFixture::WriteFile(const QString& i_path, const QByteArray& i_bytes)
{
    QDir().mkpath(QFileInfo(i_path).absolutePath());
    QFile l_file(i_path);
    return l_file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           l_file.write(i_bytes) == i_bytes.size();
}

QByteArray TestFrame::Header() const
{
    const int l_versionBits = m_version == 1 ? 3 : m_version == 2 ? 2 : m_version == 25 ? 0 : 1;
    const int l_layerBits = 4 - m_layer;
    QByteArray l_header(4, '\0');
    l_header[0] = char(0xFF);
    l_header[1] = char(0xE0 | l_versionBits << 3 | l_layerBits << 1 | m_protectionBit);
    l_header[2] = char(m_bitrateIndex << 4 | m_frequency << 2);
    l_header[3] = char(m_channelMode << 6);
    return l_header;
}

QByteArray TestFrame::Frames(int i_count) const
{
    QByteArray l_frame = Header() + QByteArray(124, '\0');
    return l_frame.repeated(i_count);
}
