#include "SharedFoldersManager.h"

#include "AttributeTranslationTable.h"
#include "Data.h"
#include "FileInfoMap.h"
#include "StoreFunctions.h"

#include <zlib.h>

#include <new>
#include <vector>

SharedFoldersManager* sharedFoldersManager = nullptr;

namespace
{
constexpr quint32 g_sharedFileListCode = 5;
} // namespace

SharedFoldersManager::SharedFoldersManager(QObject* ip_parent) : QObject(ip_parent)
{
    sharedFoldersManager = this;
}

SharedFoldersManager::~SharedFoldersManager()
{
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
}

MemStream SharedFoldersManager::GetSharedFilesMessage(std::string)
{
    MemStream l_body;
    l_body.Write(FileInfoMap());
    l_body.Write(AttributeTranslationTable());

    uLongf l_packedSize = compressBound(static_cast<uLong>(l_body.GetPendingReadLength()));
    std::vector<Bytef> l_packed(l_packedSize);
    // With a buffer of compressBound bytes, running out of memory is the only failure.
    if (compress2(l_packed.data(), &l_packedSize,
                  reinterpret_cast<const Bytef*>(l_body.GetReadBuffer()),
                  static_cast<uLong>(l_body.GetPendingReadLength()), 9) != Z_OK)
        throw std::bad_alloc();

    MemStream l_message;
    l_message.Write(g_sharedFileListCode);
    l_message.WriteBuffer(l_packed.data(), l_packedSize);
    return l_message;
}

void SharedFoldersManager::OnReceivedUserStats(std::string i_user, UserStats i_stats)
{
    ItemPtr l_username = SettingValue("username");
    if (l_username.IsNull() || i_user != l_username.AsString())
        return;
    SetSetting("upload_speed", static_cast<int>(i_stats.m_averageSpeed));
}
