#include "DataFileLock.h"

#include "DataSaver.h"
#include "GeneralFunctions.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{
// Beside the file that the saves write, so that homes whose data files lead to one file share its
// lock. A chain that leads nowhere fails every save; the lock is then taken beside the path.
QString LockPath(const QString& i_dataFilePath)
{
    QString l_written;
    if (DataSaver::FinalTarget(i_dataFilePath, l_written) != 0)
        l_written = i_dataFilePath;
    return l_written + QStringLiteral(".lock");
}
} // namespace

DataFileLock::DataFileLock(const QString& i_dataFilePath) : m_path(LockPath(i_dataFilePath))
{
    // Close-on-exec: a program that the client starts must not keep the lock after it. A link in
    // its place is not followed out of the home, and a FIFO or a device in its place does not
    // hold start-up in the open.
    m_descriptor = ::open(QFile::encodeName(m_path).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    int l_result = -1;
    if (m_descriptor >= 0)
        do
            l_result = ::flock(m_descriptor, LOCK_EX | LOCK_NB);
        while (l_result != 0 && errno == EINTR);
    if (l_result == 0)
        return;
    const int l_error = errno;
    if (l_error == EWOULDBLOCK)
        m_state = State::HeldElsewhere;
    else
    {
        m_state = State::Failed;
        m_failureReason = ErrorText(l_error);
    }
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

DataFileLock::~DataFileLock()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}
