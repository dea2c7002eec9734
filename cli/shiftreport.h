#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class QTextStream;

namespace flash {

// A line of a record file that could not be read as an attempt.
struct MalformedLine
{
    QString file;
    int line = 0; // from 1
    QString reason;
};

// The attempts on one port or one adapter. A skipped attempt did not fail.
struct GroupStats
{
    QString name; // empty: not known (no USB serial number, no port in the line)
    int attempts = 0;
    int failed = 0;
    bool flagged = false; // see kFlagRule
};

struct ImageStats
{
    QString sha256; // empty: not known
    QString image;  // the file name its first line gives
    int attempts = 0;
    int passes = 0;
    int devicesPassed = 0;
};

// The figures of one shift, from the record files of any number of stations. Devices are told
// apart by serial number; an attempt that carries none (no answer, port not opened, a device
// waiting for firmware without a serial number after verification) counts in the attempts, the
// results and the ports, but belongs to no device.
struct ShiftReport
{
    QStringList files;      // read, in the order given; a file named twice is read once
    QStringList unreadable; // "FILE: why"
    QStringList emptyFifos; // FIFOs with no writer (or none that wrote): read as empty
    int attempts = 0;
    int duplicateLines = 0; // a line found again (the same file copied) is counted once
    int attemptsWithoutSerial = 0;
    // Result classes in the order of the exit statuses, then classes this version does not know.
    QVector<QPair<QString, int>> results;
    int devices = 0;
    int yieldDevices = 0; // devices with an attempt that passed or failed
    int firstPass = 0;    // devices whose first attempt that was not skipped passed
    QStringList neverPassed;
    int onlySkipped = 0;
    QVector<GroupStats> ports;
    QVector<GroupStats> adapters;
    QVector<ImageStats> images;
    int timedPasses = 0; // passes with a duration
    qint64 medianPassMs = -1;
    qint64 p95PassMs = -1;
    QDateTime first; // invalid when no line told its time
    QDateTime last;
    int malformedCount = 0;
    QVector<MalformedLine> malformed; // the first kMalformedShown of them
};

constexpr int kMalformedShown = 20;
constexpr int kFlagMinAttempts = 5;
extern const char kFlagRule[];

// A file that cannot be read is named in `unreadable`; the others are read whole.
ShiftReport readRecords(const QStringList &files);

// Plain aligned text for a terminal or a file.
QString reportText(const ShiftReport &report);
QJsonObject reportJson(const ShiftReport &report);

// --report: the report on `out` (text, or one JSON object with `json`), unreadable files on
// `err`. 0, or 2 (usage) when no file was named or a file could not be read; the report then
// covers the files that could.
int runReport(const QStringList &files, bool json, QTextStream &out, QTextStream &err);

} // namespace flash
