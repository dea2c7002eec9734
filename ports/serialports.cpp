#include "serialports.h"

#include "portpath.h"

namespace ports {

namespace {

QString hexId(bool has, quint16 id)
{
    return has ? QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')) : QString();
}

} // namespace

QList<ListedPort> presentPorts()
{
    QList<ListedPort> listed;
    for (const QSerialPortInfo &p : QSerialPortInfo::availablePorts()) {
        listed << ListedPort{p.systemLocation(),
                             p.portName(),
                             p.description(),
                             p.manufacturer(),
                             hexId(p.hasVendorIdentifier(), p.vendorIdentifier()),
                             hexId(p.hasProductIdentifier(), p.productIdentifier()),
                             p.serialNumber()};
    }
    return listed;
}

// QSerialPortInfo(name) matches the short name only; a port may be given by its full path or a
// link to it.
QString adapterSerialOf(const QString &port, const QList<QSerialPortInfo> &present)
{
    const QString key = portIdentity(port);
    for (const QSerialPortInfo &info : present) {
        if (info.portName() == port || info.systemLocation() == port ||
            portIdentity(info.systemLocation()) == key)
            return info.serialNumber();
    }
    return QString();
}

} // namespace ports
