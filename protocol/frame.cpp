#include "frame.h"
#include "protocol.h"

#include <cstdlib>

quint8 blockChecksum(const QByteArray &data)
{
    qint32 sum = 0;
    for (const char c : data)
        sum += static_cast<qint8>(c);
    return static_cast<quint8>(std::abs(sum) & 0xFF);
}

QByteArray buildFrame(const QByteArray &image, qsizetype offset, quint8 block)
{
    QByteArray data(protocol::kBlockSize, protocol::kFiller);
    if (offset >= 0 && offset < image.size()) {
        const qsizetype n = qMin<qsizetype>(protocol::kBlockSize, image.size() - offset);
        std::copy_n(image.constData() + offset, n, data.data());
    }

    QByteArray frame;
    frame.reserve(protocol::kFrameSize);
    frame.append(protocol::SOH);
    frame.append(static_cast<char>(block));
    frame.append(static_cast<char>(255 - block));
    frame.append(data);
    frame.append(static_cast<char>(blockChecksum(data)));
    return frame;
}
