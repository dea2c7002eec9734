#pragma once

#include <QList>
#include <QSerialPortInfo>
#include <QString>

namespace ports {

// A port as the system lists it; empty texts where it tells nothing.
struct ListedPort
{
    QString location; // the device node
    QString name;
    QString description;
    QString manufacturer;
    QString vendorId; // USB ids as four hex digits
    QString productId;
    QString serialNumber;
};

// The serial ports the system lists now.
QList<ListedPort> presentPorts();

// The USB serial number of the adapter behind `port` (any of its names), if the system tells one.
QString adapterSerialOf(const QString &port, const QList<QSerialPortInfo> &present);

} // namespace ports
