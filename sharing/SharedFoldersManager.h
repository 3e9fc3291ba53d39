#pragma once

#include "MemStream.h"
#include "UserStats.h"

#include <QObject>

#include <string>

// The sharing service as the peer and distributed-network layers reach it. For now it shares
// nothing: every user gets the list of an empty share.
class SharedFoldersManager : public QObject
{
    Q_OBJECT

public:
    explicit SharedFoldersManager(QObject* ip_parent = nullptr);
    ~SharedFoldersManager() override;

    // The whole body of a shared-file list message for the user: code 5, then the zlib stream
    // (level 9) of the folders the user may see and the attribute translation table.
    MemStream GetSharedFilesMessage(std::string i_user);

public slots:
    // The server's statistics of a user; those of the own user give the upload speed.
    void OnReceivedUserStats(std::string i_user, UserStats i_stats);
};

extern SharedFoldersManager* sharedFoldersManager;
