#include "atomicfile.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool AtomicFile::write(const QString &fileName, const QByteArray &content, QString *error, Durability durability)
{
    const QByteArray target = QFile::encodeName(fileName);
    QByteArray temporary = target + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd == -1) {
        if (error)
            *error = qt_error_string(errno);
        return false;
    }

    int failure = 0;
    struct stat old;
    if (stat(target.constData(), &old) == 0 && fchmod(fd, old.st_mode & 07777) != 0)
        failure = errno;
    qint64 written = 0;
    while (!failure && written < content.size()) {
        const ssize_t result = ::write(fd, content.constData() + written, size_t(content.size() - written));
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            failure = result < 0 ? errno : EIO;
        else
            written += result;
    }
    if (!failure && durability == SurvivesPowerLoss && fsync(fd) != 0)
        failure = errno;
    if (close(fd) != 0 && !failure)
        failure = errno;
    if (!failure && rename(temporary.constData(), target.constData()) != 0)
        failure = errno;
    if (failure) {
        unlink(temporary.constData());
        if (error)
            *error = qt_error_string(failure);
        return false;
    }
    return true;
}
