#include "messages.h"
#include "protocol.h"
#include "windowdriver.h"

#include <QMenuBar>

QStringList texts(const QStringList &lines)
{
    QStringList out;
    for (const QString &line : lines)
        out << textOf(line);
    return out;
}

QStringList stampedTexts(const QStringList &lines)
{
    QStringList out;
    for (const QString &line : lines)
        out << (stampOf(line).isEmpty() ? QStringLiteral("<no time stamp>") : textOf(line));
    return out;
}

QList<QByteArray> bytesOf(const QList<DeviceSimulator::Received> &chunks)
{
    QList<QByteArray> out;
    for (const auto &chunk : chunks)
        out << chunk.bytes;
    return out;
}

QList<qint32> baudsOf(const QList<DeviceSimulator::Received> &chunks)
{
    QList<qint32> out;
    for (const auto &chunk : chunks)
        out << chunk.baud;
    return out;
}

QString controls(const WindowDriver &d)
{
    return QStringLiteral("open:%1 browse:%2 update:%3 menu:%4")
        .arg(int(d.openButton()->isEnabled()))
        .arg(int(d.browseButton()->isEnabled()))
        .arg(int(d.updateButton()->isEnabled()))
        .arg(int(d.menuBar()->isEnabled()));
}

Traffic splitTraffic(QByteArray bytes)
{
    Traffic t;
    if (bytes.startsWith(protocol::updateCommand())) {
        t.command = true;
        bytes.remove(0, protocol::updateCommand().size());
    }
    int at = 0;
    while (bytes.size() - at >= protocol::kFrameSize && bytes.at(at) == protocol::SOH) {
        t.frames << bytes.mid(at, protocol::kFrameSize);
        at += protocol::kFrameSize;
    }
    t.tail = bytes.mid(at);
    return t;
}
