#include "DataFileLock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

DataFileLock::DataFileLock(const QString& i_dataFilePath)
{
    // Close-on-exec: a program that the client starts must not keep the lock after it. A link in
    // its place is not followed out of the home.
    m_descriptor = ::open(QFile::encodeName(i_dataFilePath + QStringLiteral(".lock")).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_descriptor < 0)
        return;
    int l_result;
    do
        l_result = ::flock(m_descriptor, LOCK_EX | LOCK_NB);
    while (l_result != 0 && errno == EINTR);
    if (l_result == 0)
        return;
    m_heldElsewhere = errno == EWOULDBLOCK;
    ::close(m_descriptor);
    m_descriptor = -1;
}

DataFileLock::~DataFileLock()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}
