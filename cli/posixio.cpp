#include "posixio.h"

#include <cstring>
#include <unistd.h>

namespace flash {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const QByteArray &bytes, QString *why)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *why = n < 0 ? errnoText() : QStringLiteral("nothing written");
            return false;
        }
        done += n;
    }
    return true;
}

} // namespace flash
