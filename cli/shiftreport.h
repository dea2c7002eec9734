#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

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

// The attempts of one job (lines with a `job`): devices passed count each serial number once, as
// the station counts toward the quantity.
struct JobStats
{
    QString job;
    QString station;  // the first line's
    int quantity = 0; // the largest a line gives; 0: none
    int attempts = 0;
    int passes = 0;
    int failed = 0;
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
    int duplicateLines = 0; // an attempt found again (a copied file) is counted once
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
    QVector<GroupStats> stations; // empty unless some line names its station
    QVector<JobStats> jobs;       // lines of jobs only
    int timedPasses = 0;          // passes with a duration
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

// Which attempts a report covers; an empty part takes all. `serial` matches `serialNumber` or
// `serialNumberAfter`.
struct ReportFilter
{
    QDateTime since; // attempts that started at or after it (a line without a time is left out)
    QString station;
    QString job;
    QString serial;
};

// Reads attempts line by line from record files or from elsewhere (the plant database) and makes
// one report of them: the figures come from one place whatever the source. An attempt is counted
// once by its id (recordline.h).
class ReportReader
{
public:
    explicit ReportReader(const ReportFilter &filter = {});
    ~ReportReader();
    ReportReader(const ReportReader &) = delete;
    ReportReader &operator=(const ReportReader &) = delete;

    void readFile(const QString &path);
    // A source that is no file, named in the report's `files`.
    void addSource(const QString &name);
    // One line without its end; `id` empty: the line's own.
    void readLine(const QString &source, int number, const QByteArray &line,
                  const QString &id = QString());
    void malformed(const QString &source, int number, const QString &reason);
    ShiftReport finish();

private:
    class Reader;
    ShiftReport m_report;
    std::unique_ptr<Reader> m_reader;
};

// Sets `flagged` on each group by kFlagRule, against the pooled rate of all the others.
void flagGroups(QVector<GroupStats> *groups);

// A file that cannot be read is named in `unreadable`; the others are read whole.
ShiftReport readRecords(const QStringList &files, const ReportFilter &filter = {});

// Plain aligned text for a terminal or a file.
QString reportText(const ShiftReport &report);
QJsonObject reportJson(const ShiftReport &report);

// The report as text, or as one JSON object on one line.
void printReport(const ShiftReport &report, bool json, QTextStream &out);

// --report: the report on `out` (text, or one JSON object with `json`), unreadable files on
// `err`. 0, or 2 (usage) when no file was named or a file could not be read; the report then
// covers the files that could.
int runReport(const QStringList &files, bool json, QTextStream &out, QTextStream &err,
              const ReportFilter &filter = {});

} // namespace flash
