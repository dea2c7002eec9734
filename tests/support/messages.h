#pragma once

#include "devicesim.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class WindowDriver;

// What the window shows in English, as the tests expect to read it.
inline const QString kConnect = QStringLiteral("Connect");
inline const QString kDisconnect = QStringLiteral("Disconnect");
inline const QString kConnecting = QStringLiteral("->Connecting");
inline const QString kConnected = QStringLiteral("->Connected");
inline const QString kConnectedAgain = QStringLiteral("->Connected. Please update again");
inline const QString kFailed = QStringLiteral("->Failed to connect");
inline const QString kReadFailed = QStringLiteral("->Failed to read the serial port");
inline const QString kReadFailedFast = QStringLiteral("->Failed to read serial port...");
inline const QString kStarted = QStringLiteral("->Update started. Firmware is being transferred");
inline const QString kCompleted = QStringLiteral("->Update completed");
inline const QString kRefused =
    QStringLiteral("Data package parsing failed.Transfer the data package again");
inline const QString kNoResponse = QStringLiteral("->Device no response. Please update again");
inline const QString kFirmwareErrors = QStringLiteral("->Firmware Errors");
// The simulator's default identity, as the pane shows it in English (CR LF splits paragraphs).
inline const QStringList kIdentityLines = {
    QStringLiteral("->"), QStringLiteral("Device Name:PM-100"),
    QStringLiteral("Device Serial Number:SN0001"), QStringLiteral("Firmware Version:V1.0.0")};

// Lines without their time stamps; lines that carry none stay as they are.
QStringList texts(const QStringList &lines);
// The same, but a line without a time stamp reads "<no time stamp>".
QStringList stampedTexts(const QStringList &lines);

QList<QByteArray> bytesOf(const QList<DeviceSimulator::Received> &chunks);
QList<qint32> baudsOf(const QList<DeviceSimulator::Received> &chunks);

// "open:1 browse:0 update:0 menu:1": which of the window's controls the user can reach.
QString controls(const WindowDriver &d);

// What the tool wrote during one update, cut into the update command, whole frames and the rest.
struct Traffic
{
    bool command = false;
    QList<QByteArray> frames;
    QByteArray tail;
};
Traffic splitTraffic(QByteArray bytes);
