#pragma once

#include "DataSaver.h"
#include "SharedFoldersManager.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The sharing service without the rest of the client: a data saver, the settings types, and the
// types that the server connection and the messenger declare before sharing, as they declare
// them. One per test program, as the store's types are declared once.
class SharingFixture
{
public:
    SharingFixture();
    ~SharingFixture();

    SharedFoldersManager& Manager() { return *mp_manager; }
    // Stops the scanner thread and destroys the service, as shut-down does.
    void DestroyManager() { mp_manager.reset(); }

    // Writes the file, creating its folders; false when it cannot.
    static bool WriteFile(const QString& i_path, const QByteArray& i_bytes);

private:
    std::unique_ptr<DataSaver> mp_dataSaver;
    std::unique_ptr<SharedFoldersManager> mp_manager;
};

// MP3 frame headers made the way an encoder writes them, for the scanner's tests.
struct TestFrame
{
    // 1, 2, 25 (MPEG-2.5) or 0 for the reserved version code.
    int m_version = 1;
    int m_layer = 3;
    int m_protectionBit = 1;
    int m_bitrateIndex = 9;
    int m_frequency = 0;
    int m_channelMode = 1;

    // The four header bytes.
    QByteArray Header() const;
    // i_count frames of 128 bytes each: the header and zero bytes, so that 512 frames fill one
    // 64 KiB read exactly.
    QByteArray Frames(int i_count) const;
};
