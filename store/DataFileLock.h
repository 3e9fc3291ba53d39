#pragma once

#include <QString>

// Keeps other clients off one data file while this one runs: an exclusive lock on a file beside
// the file that the saves write (its path + ".lock"), the end of the chain where the data file is
// a symbolic link. The kernel drops the lock when the process ends, however it ends, so a client
// that died leaves nothing that stops the next start.
class DataFileLock
{
public:
    enum class State
    {
        Held,
        // A running client, another one, holds the lock.
        HeldElsewhere,
        // The lock file could not be opened or locked (a home that cannot be written, a lock
        // file of another owner, a link in its place): this client runs without the lock.
        Failed
    };

    explicit DataFileLock(const QString& i_dataFilePath);
    ~DataFileLock();
    DataFileLock(const DataFileLock&) = delete;
    DataFileLock& operator=(const DataFileLock&) = delete;

    State GetState() const { return m_state; }
    QString Path() const { return m_path; }
    // Why the lock failed, as the system words it; empty unless Failed.
    QString FailureReason() const { return m_failureReason; }

private:
    QString m_path;
    int m_descriptor = -1;
    State m_state = State::Held;
    QString m_failureReason;
};
