#pragma once

#include <QByteArray>

// Bytes exchanged with the device. Shared by the window, the device simulator and the tests so
// that both ends of the line speak from one definition.
namespace protocol {

constexpr char SOH = 0x01;
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;

constexpr int kBlockSize = 128;
constexpr int kFrameSize = kBlockSize + 4;
constexpr int kNameFieldSize = 16;
constexpr char kFiller = 0x1A;

// The two line rates the device speaks: the 9600 handshake, and 115200 with its waiting-for-
// firmware detection.
constexpr qint32 kSlowBaud = 9600;
constexpr qint32 kFastBaud = 115200;
// 8 data bits, no parity, one stop bit, and the start bit: ten bits on the line per byte.
constexpr int kBitsPerByte = 10;

// Modbus RTU: address FF, function 41, four zero bytes, CRC-16/MODBUS low byte first.
inline QByteArray function41Frame()
{
    return QByteArray("\xFF\x41\x00\x00\x00\x00\x28\x1B", 8);
}
inline QByteArray shortInfoQuery()
{
    return QByteArrayLiteral("info");
}
inline QByteArray infoQuery()
{
    return QByteArrayLiteral("info\r");
}
inline QByteArray updateCommand()
{
    return QByteArrayLiteral("updata\n");
}

} // namespace protocol
