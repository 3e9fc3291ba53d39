#pragma once

#include <QString>

// Keeps other clients off one data file while this one runs: an exclusive lock on a file beside
// it (the data file's path + ".lock"). The kernel drops the lock when the process ends, however it
// ends, so a client that died leaves nothing that stops the next start.
class DataFileLock
{
public:
    explicit DataFileLock(const QString& i_dataFilePath);
    ~DataFileLock();
    DataFileLock(const DataFileLock&) = delete;
    DataFileLock& operator=(const DataFileLock&) = delete;

    // Whether a running client, another one, holds the lock. A lock file that cannot be made (a
    // home that cannot be written) is not taken for one.
    bool IsHeldElsewhere() const { return m_heldElsewhere; }

private:
    int m_descriptor = -1;
    bool m_heldElsewhere = false;
};
