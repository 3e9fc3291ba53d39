#include "DataFileLock.h"

#include "GeneralFunctions.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

DataFileLock::DataFileLock(const QString& i_dataFilePath)
    : m_path(i_dataFilePath + QStringLiteral(".lock"))
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
