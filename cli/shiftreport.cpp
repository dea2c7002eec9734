#include "shiftreport.h"

#include "record.h"
#include "recordline.h"
#include "results.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMap>
#include <QSet>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <limits>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace flash {

const char kFlagRule[] = "at least 5 attempts and a failure rate more than twice the pooled "
                         "failure rate of all the other ports";

namespace {

enum class Outcome { Pass, Fail, Skip };

struct Attempt
{
    QDateTime time;
    int order = 0; // in reading order, to keep lines of the same time as they came
    QString port;
    QString adapter;
    QString device;
    QString result;
    QString sha256;
    QString image;
    QString station;
    QString job;
    int quantity = -1;
    qint64 durationMs = -1;
};

Outcome outcomeOf(const QString &result)
{
    if (result == resultName(Result::Success))
        return Outcome::Pass;
    if (result == resultName(Result::Skipped))
        return Outcome::Skip;
    return Outcome::Fail; // also a class this version does not know
}

Attempt attemptOf(const ReadRecord &line)
{
    const AttemptRecord &r = line.record;
    Attempt a;
    a.result = line.result;
    a.time = r.time;
    a.port = r.port;
    a.adapter = r.adapterSerial;
    // A device found waiting for firmware told no serial number before its update; verification
    // reads it after the restart.
    a.device = r.serialNumber.isEmpty() ? r.serialNumberAfter : r.serialNumber;
    a.sha256 = r.imageSha256.toLower();
    a.image = QFileInfo(r.image).fileName();
    a.durationMs = r.durationMs;
    a.station = r.station;
    a.job = r.job;
    a.quantity = r.quantity;
    return a;
}

bool accepted(const ReportFilter &f, const ReadRecord &line)
{
    const AttemptRecord &r = line.record;
    if (f.since.isValid() && !(r.time.isValid() && r.time >= f.since))
        return false;
    if (!f.station.isEmpty() && r.station != f.station)
        return false;
    if (!f.job.isEmpty() && r.job != f.job)
        return false;
    return f.serial.isEmpty() || r.serialNumber == f.serial || r.serialNumberAfter == f.serial;
}

#ifdef Q_OS_UNIX
// A pipe is read as it comes (process substitution); a terminal or device would never end.
bool readableKind(const QString &path, QString *why)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return true; // open() tells why
    if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))
        return true;
    *why =
        S_ISDIR(st.st_mode) ? QStringLiteral("a directory") : QStringLiteral("not a regular file");
    return false;
}
// A FIFO without a writer would hold the open, and then every read, for ever: opened without
// waiting it reads as empty, while a pipe with a writer (process substitution) is read whole.
bool openForReading(QFile *file, const QString &path, bool *fifo, QString *why)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st
    {
    };
    const int flags = ::fcntl(fd, F_GETFL);
    // Replaced between the look and the open.
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *why = S_ISDIR(st.st_mode) ? QStringLiteral("a directory")
                                   : QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    *fifo = S_ISFIFO(st.st_mode);
    return file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
}
#else
bool openForReading(QFile *file, const QString &path, bool *fifo, QString *)
{
    *fifo = false;
    file->setFileName(path);
    return file->open(QIODevice::ReadOnly);
}

bool readableKind(const QString &path, QString *why)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isFile())
        return true;
    *why = info.isDir() ? QStringLiteral("a directory") : QStringLiteral("not a regular file");
    return false;
}
#endif

} // namespace

class ReportReader::Reader
{
public:
    Reader(ShiftReport *report, const ReportFilter &filter) : m_report(report), m_filter(filter) {}
    void readFile(const QString &path);
    void readLine(const QString &path, int number, const QByteArray &line, bool tooLong,
                  const QString &id);
    void malformed(const QString &path, int number, const QString &reason);
    QVector<Attempt> takeAttempts() { return std::move(m_attempts); }

private:
    ShiftReport *m_report;
    ReportFilter m_filter;
    QVector<Attempt> m_attempts;
    QSet<QString> m_files;
    QSet<QString> m_seen; // attempt ids
};

void ReportReader::Reader::readFile(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString key = canonical.isEmpty() ? path : canonical;
    if (m_files.contains(key))
        return;
    m_files.insert(key);
    QString why;
    QFile file;
    bool fifo = false;
    if (!readableKind(path, &why) || !openForReading(&file, path, &fifo, &why)) {
        m_report->unreadable << QStringLiteral("%1: %2").arg(
            path, why.isEmpty() ? file.errorString() : why);
        return;
    }
    m_report->files << path;
    QByteArray line;
    bool tooLong = false;
    int number = 0;
    while (nextRecordLine(file, &line, &tooLong))
        readLine(path, ++number, line, tooLong, QString());
    if (file.error() != QFileDevice::NoError)
        m_report->unreadable
            << QStringLiteral("%1: %2 after line %3").arg(path, file.errorString()).arg(number);
    else if (fifo && number == 0)
        m_report->emptyFifos << path;
}

// A line is counted once by its attempt's id, however it was written.
void ReportReader::Reader::readLine(const QString &path, int number, const QByteArray &line,
                                    bool tooLong, const QString &id)
{
    if (tooLong) {
        malformed(path, number, QStringLiteral("longer than %1 bytes").arg(kMaxLineBytes));
        return;
    }
    if (line.trimmed().isEmpty())
        return;
    QJsonObject object;
    QString reason;
    if (!parseRecordLine(line, &object, &reason)) {
        malformed(path, number, reason);
        return;
    }
    const ReadRecord read = readRecord(object);
    if (!accepted(m_filter, read))
        return;
    Attempt a = attemptOf(read);
    const QString key = id.isEmpty() ? attemptId(object) : id;
    if (m_seen.contains(key)) {
        ++m_report->duplicateLines;
        return;
    }
    m_seen.insert(key);
    a.order = m_attempts.size();
    m_attempts.append(a);
}

void ReportReader::Reader::malformed(const QString &path, int number, const QString &reason)
{
    if (m_report->malformed.size() < kMalformedShown)
        m_report->malformed.append(MalformedLine{path, number, reason});
    ++m_report->malformedCount;
}

namespace {

void countResults(ShiftReport *report, const QVector<Attempt> &attempts)
{
    QMap<QString, int> counts;
    for (const Attempt &a : attempts)
        ++counts[a.result];
    for (int r = int(Result::Success); r <= int(Result::Cancelled); ++r) {
        const QString name = resultName(Result(r));
        report->results.append({name, counts.take(name)});
    }
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        report->results.append({it.key(), it.value()});
}

// `attempts` in time order.
void countDevices(ShiftReport *report, const QVector<Attempt> &attempts)
{
    struct Device
    {
        bool decided = false;
        bool firstPassed = false;
        bool passed = false;
    };
    QMap<QString, Device> devices;
    for (const Attempt &a : attempts) {
        if (a.device.isEmpty()) {
            ++report->attemptsWithoutSerial;
            continue;
        }
        Device &d = devices[a.device];
        const Outcome outcome = outcomeOf(a.result);
        if (outcome == Outcome::Skip)
            continue;
        if (!d.decided)
            d.firstPassed = outcome == Outcome::Pass;
        d.decided = true;
        d.passed = d.passed || outcome == Outcome::Pass;
    }
    report->devices = devices.size();
    for (auto it = devices.cbegin(); it != devices.cend(); ++it) {
        if (!it->decided) {
            ++report->onlySkipped;
            continue;
        }
        ++report->yieldDevices;
        report->firstPass += it->firstPassed ? 1 : 0;
        if (!it->passed)
            report->neverPassed << it.key();
    }
}

} // namespace

// A group is flagged against the pooled rate of all the others; a group without a name (no
// adapter serial) is a mixture and never flagged.
void flagGroups(QVector<GroupStats> *groups)
{
    qint64 attempts = 0;
    qint64 failed = 0;
    for (const GroupStats &g : *groups) {
        attempts += g.attempts;
        failed += g.failed;
    }
    for (GroupStats &g : *groups) {
        const qint64 otherAttempts = attempts - g.attempts;
        const qint64 otherFailed = failed - g.failed;
        // failed / attempts > 2 × otherFailed / otherAttempts, in integers.
        g.flagged = !g.name.isEmpty() && g.attempts >= kFlagMinAttempts && otherAttempts > 0 &&
                    g.failed * otherAttempts > 2 * otherFailed * g.attempts;
    }
}

namespace {

QVector<GroupStats> groupBy(const QVector<Attempt> &attempts, QString Attempt::*key)
{
    QMap<QString, GroupStats> groups;
    for (const Attempt &a : attempts) {
        GroupStats &g = groups[a.*key];
        g.name = a.*key;
        ++g.attempts;
        g.failed += outcomeOf(a.result) == Outcome::Fail ? 1 : 0;
    }
    QVector<GroupStats> list = groups.values().toVector();
    flagGroups(&list);
    return list;
}

void countImages(ShiftReport *report, const QVector<Attempt> &attempts)
{
    QMap<QString, ImageStats> images;
    QMap<QString, QSet<QString>> passedDevices;
    for (const Attempt &a : attempts) {
        ImageStats &s = images[a.sha256];
        if (s.attempts++ == 0) {
            s.sha256 = a.sha256;
            s.image = a.image;
        }
        if (outcomeOf(a.result) != Outcome::Pass)
            continue;
        ++s.passes;
        if (!a.device.isEmpty())
            passedDevices[a.sha256].insert(a.device);
    }
    for (ImageStats &s : images) {
        s.devicesPassed = passedDevices.value(s.sha256).size();
        report->images.append(s);
    }
}

void countJobs(ShiftReport *report, const QVector<Attempt> &attempts)
{
    QMap<QString, JobStats> jobs;
    QMap<QString, QSet<QString>> passedDevices;
    for (const Attempt &a : attempts) {
        if (a.job.isEmpty())
            continue;
        JobStats &j = jobs[a.job];
        if (j.attempts++ == 0) {
            j.job = a.job;
            j.station = a.station;
        }
        j.quantity = qMax(j.quantity, a.quantity);
        const Outcome outcome = outcomeOf(a.result);
        j.failed += outcome == Outcome::Fail ? 1 : 0;
        if (outcome != Outcome::Pass)
            continue;
        ++j.passes;
        if (!a.device.isEmpty())
            passedDevices[a.job].insert(a.device);
    }
    for (JobStats &j : jobs) {
        j.devicesPassed = passedDevices.value(j.job).size();
        report->jobs.append(j);
    }
}

bool anyStation(const QVector<Attempt> &attempts)
{
    return std::any_of(attempts.cbegin(), attempts.cend(),
                       [](const Attempt &a) { return !a.station.isEmpty(); });
}

// The nearest rank: the ⌈p/100 × n⌉-th smallest.
qint64 nearestRank(const QVector<qint64> &sorted, int percent)
{
    const int n = sorted.size();
    const int rank = qMax(1, int((qint64(percent) * n + 99) / 100));
    return sorted.at(rank - 1);
}

void passDurations(ShiftReport *report, const QVector<Attempt> &attempts)
{
    QVector<qint64> ms;
    for (const Attempt &a : attempts) {
        if (outcomeOf(a.result) == Outcome::Pass && a.durationMs >= 0)
            ms.append(a.durationMs);
    }
    report->timedPasses = ms.size();
    if (ms.isEmpty())
        return;
    std::sort(ms.begin(), ms.end());
    report->medianPassMs = nearestRank(ms, 50);
    report->p95PassMs = nearestRank(ms, 95);
}

void summarize(ShiftReport *report, QVector<Attempt> attempts)
{
    // A line without a time goes first, in reading order.
    const auto timeKey = [](const Attempt &a) {
        return a.time.isValid() ? a.time.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
    };
    std::stable_sort(attempts.begin(), attempts.end(),
                     [&](const Attempt &a, const Attempt &b) { return timeKey(a) < timeKey(b); });
    report->attempts = attempts.size();
    for (const Attempt &a : attempts) {
        if (!a.time.isValid())
            continue;
        if (!report->first.isValid())
            report->first = a.time;
        report->last = a.time;
    }
    countResults(report, attempts);
    countDevices(report, attempts);
    report->ports = groupBy(attempts, &Attempt::port);
    report->adapters = groupBy(attempts, &Attempt::adapter);
    countImages(report, attempts);
    if (anyStation(attempts))
        report->stations = groupBy(attempts, &Attempt::station);
    countJobs(report, attempts);
    passDurations(report, attempts);
}

QString emptyFifoText()
{
    return QStringLiteral("a FIFO with no writer, read as empty");
}

QString percent(qint64 part, qint64 whole)
{
    return whole > 0 ? QStringLiteral("%1 %").arg(100.0 * double(part) / double(whole), 0, 'f', 1)
                     : QStringLiteral("-");
}

QString seconds(qint64 ms)
{
    return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
}

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString spanText(const ShiftReport &r)
{
    if (!r.first.isValid())
        return QStringLiteral("no line tells its time");
    const qint64 minutes = r.first.secsTo(r.last) / 60;
    return QStringLiteral("%1 to %2 (%3 h %4 min)")
        .arg(utc(r.first), utc(r.last))
        .arg(minutes / 60)
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// Columns padded to their widest cell; `align` has 'l' or 'r' per column.
QString table(const QVector<QStringList> &rows, const QString &align, int indent = 2)
{
    QVector<int> widths(align.size(), 0);
    for (const QStringList &row : rows) {
        for (int c = 0; c < row.size() && c < widths.size(); ++c)
            widths[c] = qMax(widths[c], row.at(c).size());
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line(indent, QLatin1Char(' '));
        for (int c = 0; c < row.size() && c < widths.size(); ++c) {
            const bool right = align.at(c) == QLatin1Char('r');
            line +=
                (right ? row.at(c).rightJustified(widths[c]) : row.at(c).leftJustified(widths[c])) +
                QStringLiteral("  ");
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString groupTable(const QVector<GroupStats> &groups, const QString &heading)
{
    QVector<QStringList> rows{{heading, QStringLiteral("attempts"), QStringLiteral("failed"),
                               QStringLiteral("failure rate"), QString()}};
    for (const GroupStats &g : groups) {
        rows.append({g.name.isEmpty() ? QStringLiteral("(not known)") : g.name,
                     QString::number(g.attempts), QString::number(g.failed),
                     percent(g.failed, g.attempts),
                     g.flagged ? QStringLiteral("FLAGGED") : QString()});
    }
    return table(rows, QStringLiteral("lrrrl"));
}

QString imageTable(const QVector<ImageStats> &images)
{
    QVector<QStringList> rows{{QStringLiteral("SHA-256"), QStringLiteral("image"),
                               QStringLiteral("attempts"), QStringLiteral("passes"),
                               QStringLiteral("devices passed")}};
    for (const ImageStats &s : images) {
        rows.append({s.sha256.isEmpty() ? QStringLiteral("(not known)") : s.sha256,
                     s.image.isEmpty() ? QStringLiteral("-") : s.image, QString::number(s.attempts),
                     QString::number(s.passes), QString::number(s.devicesPassed)});
    }
    return table(rows, QStringLiteral("llrrr"));
}

QString jobTable(const QVector<JobStats> &jobs)
{
    QVector<QStringList> rows{{QStringLiteral("job"), QStringLiteral("station"),
                               QStringLiteral("attempts"), QStringLiteral("passes"),
                               QStringLiteral("failed"), QStringLiteral("devices passed")}};
    for (const JobStats &j : jobs) {
        rows.append(
            {j.job, j.station.isEmpty() ? QStringLiteral("-") : j.station,
             QString::number(j.attempts), QString::number(j.passes), QString::number(j.failed),
             j.quantity > 0 ? QStringLiteral("%1 of %2").arg(j.devicesPassed).arg(j.quantity)
                            : QString::number(j.devicesPassed)});
    }
    return table(rows, QStringLiteral("llrrrr"));
}

QString resultsTable(const ShiftReport &r)
{
    QVector<QStringList> rows;
    for (const auto &c : r.results) {
        if (c.second > 0)
            rows.append({c.first, QString::number(c.second), percent(c.second, r.attempts)});
    }
    return rows.isEmpty() ? QStringLiteral("  none\n") : table(rows, QStringLiteral("lrr"));
}

QString headText(const ShiftReport &r)
{
    QVector<QStringList> rows;
    rows.append({QStringLiteral("Files"),
                 QString::number(r.files.size()) +
                     (r.unreadable.isEmpty()
                          ? QString()
                          : QStringLiteral(" (%1 could not be read)").arg(r.unreadable.size())) +
                     (r.emptyFifos.isEmpty()
                          ? QString()
                          : QStringLiteral(" (%1 read as empty)").arg(r.emptyFifos.size()))});
    rows.append({QStringLiteral("Time span"), spanText(r)});
    rows.append({QStringLiteral("Attempts"),
                 QStringLiteral("%1 (%2 without a serial number, belonging to no device)")
                     .arg(r.attempts)
                     .arg(r.attemptsWithoutSerial)});
    rows.append({QStringLiteral("Devices"), QStringLiteral("%1 by serial number (%2 only skipped)")
                                                .arg(r.devices)
                                                .arg(r.onlySkipped)});
    rows.append({QStringLiteral("First-pass yield"),
                 QStringLiteral("%1 (%2 of %3 devices passed on their first attempt; a skipped "
                                "attempt is neither pass nor fail)")
                     .arg(percent(r.firstPass, r.yieldDevices))
                     .arg(r.firstPass)
                     .arg(r.yieldDevices)});
    rows.append({QStringLiteral("Never passed"),
                 QStringLiteral("%1 devices%2")
                     .arg(r.neverPassed.size())
                     .arg(r.neverPassed.isEmpty() ? QString() : QStringLiteral(", listed below"))});
    const QString durations =
        r.timedPasses == 0
            ? QStringLiteral("no pass with a duration")
            : QStringLiteral("median %1, 95th percentile %2 (nearest rank, of %3 passes)")
                  .arg(seconds(r.medianPassMs), seconds(r.p95PassMs))
                  .arg(r.timedPasses);
    rows.append({QStringLiteral("Pass durations"), durations});
    if (r.duplicateLines > 0)
        rows.append({QStringLiteral("Duplicates"),
                     QStringLiteral("%1 lines found again, counted once").arg(r.duplicateLines)});
    return table(rows, QStringLiteral("ll"), 0);
}

// Serial numbers side by side, as many as fit in a terminal's width.
QString wrapped(const QStringList &words)
{
    constexpr int kWidth = 100;
    QString text;
    QString line = QStringLiteral(" ");
    for (const QString &word : words) {
        if (line.size() > 1 && line.size() + 2 + word.size() > kWidth) {
            text += line + QLatin1Char('\n');
            line = QStringLiteral(" ");
        }
        line += QStringLiteral(" ") + word;
    }
    return text + line + QLatin1Char('\n');
}

QString malformedText(const ShiftReport &r)
{
    QString text = QStringLiteral("Malformed lines: %1 (left out)\n").arg(r.malformedCount);
    for (const MalformedLine &m : r.malformed)
        text += QStringLiteral("  %1:%2: %3\n").arg(m.file).arg(m.line).arg(m.reason);
    if (r.malformedCount > r.malformed.size())
        text += QStringLiteral("  and %1 more\n").arg(r.malformedCount - r.malformed.size());
    return text;
}

QJsonValue msOrNull(qint64 ms)
{
    return ms < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(ms);
}

QJsonArray groupsJson(const QVector<GroupStats> &groups, const QString &key)
{
    QJsonArray list;
    for (const GroupStats &g : groups) {
        QJsonObject o;
        o.insert(key, orNull(g.name));
        o.insert(QStringLiteral("attempts"), g.attempts);
        o.insert(QStringLiteral("failed"), g.failed);
        o.insert(QStringLiteral("failureRate"), double(g.failed) / double(qMax(1, g.attempts)));
        o.insert(QStringLiteral("flagged"), g.flagged);
        list.append(o);
    }
    return list;
}

QJsonArray imagesJson(const QVector<ImageStats> &images)
{
    QJsonArray list;
    for (const ImageStats &s : images) {
        list.append(QJsonObject{{QStringLiteral("imageSha256"), orNull(s.sha256)},
                                {QStringLiteral("image"), orNull(s.image)},
                                {QStringLiteral("attempts"), s.attempts},
                                {QStringLiteral("passes"), s.passes},
                                {QStringLiteral("devicesPassed"), s.devicesPassed}});
    }
    return list;
}

QJsonArray jobsJson(const QVector<JobStats> &jobs)
{
    QJsonArray list;
    for (const JobStats &j : jobs) {
        list.append(QJsonObject{
            {QStringLiteral("job"), j.job},
            {QStringLiteral("station"), orNull(j.station)},
            {QStringLiteral("quantity"), j.quantity > 0 ? QJsonValue(j.quantity) : QJsonValue()},
            {QStringLiteral("attempts"), j.attempts},
            {QStringLiteral("passes"), j.passes},
            {QStringLiteral("failed"), j.failed},
            {QStringLiteral("devicesPassed"), j.devicesPassed}});
    }
    return list;
}

QJsonObject malformedJson(const ShiftReport &r)
{
    QJsonArray lines;
    for (const MalformedLine &m : r.malformed) {
        lines.append(QJsonObject{{QStringLiteral("file"), m.file},
                                 {QStringLiteral("line"), m.line},
                                 {QStringLiteral("reason"), m.reason}});
    }
    return {{QStringLiteral("count"), r.malformedCount}, {QStringLiteral("lines"), lines}};
}

} // namespace

ReportReader::ReportReader(const ReportFilter &filter)
    : m_reader(std::make_unique<Reader>(&m_report, filter))
{
}

ReportReader::~ReportReader() = default;

void ReportReader::readFile(const QString &path)
{
    m_reader->readFile(path);
}

void ReportReader::addSource(const QString &name)
{
    m_report.files << name;
}

void ReportReader::readLine(const QString &source, int number, const QByteArray &line,
                            const QString &id)
{
    m_reader->readLine(source, number, line, line.size() > kMaxLineBytes, id);
}

void ReportReader::malformed(const QString &source, int number, const QString &reason)
{
    m_reader->malformed(source, number, reason);
}

ShiftReport ReportReader::finish()
{
    summarize(&m_report, m_reader->takeAttempts());
    return std::move(m_report);
}

ShiftReport readRecords(const QStringList &files, const ReportFilter &filter)
{
    ReportReader reader(filter);
    for (const QString &file : files)
        reader.readFile(file);
    return reader.finish();
}

QString reportText(const ShiftReport &r)
{
    QString text = headText(r);
    if (!r.neverPassed.isEmpty())
        text += QStringLiteral("\nNever passed\n") + wrapped(r.neverPassed);
    text += QStringLiteral("\nResults by class\n") + resultsTable(r);
    const QString rule = QString::fromLatin1(kFlagRule);
    text += QStringLiteral("\nPorts (FLAGGED: %1)\n").arg(rule) +
            groupTable(r.ports, QStringLiteral("port"));
    text += QStringLiteral("\nAdapters (FLAGGED: the same rule among adapters)\n") +
            groupTable(r.adapters, QStringLiteral("adapter serial"));
    text += QStringLiteral("\nImages\n") + imageTable(r.images);
    if (!r.stations.isEmpty())
        text += QStringLiteral("\nStations (FLAGGED: the same rule among stations)\n") +
                groupTable(r.stations, QStringLiteral("station"));
    if (!r.jobs.isEmpty())
        text += QStringLiteral("\nJobs\n") + jobTable(r.jobs);
    if (r.malformedCount > 0)
        text += QLatin1Char('\n') + malformedText(r);
    if (!r.unreadable.isEmpty())
        text += QStringLiteral("\nNot read\n  ") + r.unreadable.join(QStringLiteral("\n  ")) +
                QLatin1Char('\n');
    if (!r.emptyFifos.isEmpty())
        text += QStringLiteral("\nRead as empty\n");
    for (const QString &path : r.emptyFifos)
        text += QStringLiteral("  %1: %2\n").arg(path, emptyFifoText());
    return text;
}

QJsonObject reportJson(const ShiftReport &r)
{
    QJsonObject results;
    for (const auto &c : r.results)
        results.insert(c.first, c.second);
    QJsonObject o;
    o.insert(QStringLiteral("files"), QJsonArray::fromStringList(r.files));
    o.insert(QStringLiteral("unreadable"), QJsonArray::fromStringList(r.unreadable));
    o.insert(QStringLiteral("emptyFifos"), QJsonArray::fromStringList(r.emptyFifos));
    o.insert(QStringLiteral("first"), r.first.isValid() ? QJsonValue(utc(r.first)) : QJsonValue());
    o.insert(QStringLiteral("last"), r.last.isValid() ? QJsonValue(utc(r.last)) : QJsonValue());
    o.insert(QStringLiteral("attempts"), r.attempts);
    o.insert(QStringLiteral("attemptsWithoutSerialNumber"), r.attemptsWithoutSerial);
    o.insert(QStringLiteral("duplicateLines"), r.duplicateLines);
    o.insert(QStringLiteral("results"), results);
    o.insert(QStringLiteral("devices"), r.devices);
    o.insert(QStringLiteral("yieldDevices"), r.yieldDevices);
    o.insert(QStringLiteral("firstPass"), r.firstPass);
    o.insert(QStringLiteral("firstPassYield"),
             r.yieldDevices > 0 ? QJsonValue(double(r.firstPass) / r.yieldDevices) : QJsonValue());
    o.insert(QStringLiteral("neverPassed"), QJsonArray::fromStringList(r.neverPassed));
    o.insert(QStringLiteral("onlySkipped"), r.onlySkipped);
    o.insert(QStringLiteral("flagRule"), QString::fromLatin1(kFlagRule));
    o.insert(QStringLiteral("ports"), groupsJson(r.ports, QStringLiteral("port")));
    o.insert(QStringLiteral("adapters"), groupsJson(r.adapters, QStringLiteral("adapterSerial")));
    o.insert(QStringLiteral("images"), imagesJson(r.images));
    // Only where lines name them, so that a report without stations or jobs stays as it was.
    if (!r.stations.isEmpty())
        o.insert(QStringLiteral("stations"), groupsJson(r.stations, QStringLiteral("station")));
    if (!r.jobs.isEmpty())
        o.insert(QStringLiteral("jobs"), jobsJson(r.jobs));
    o.insert(QStringLiteral("passDurationMs"),
             QJsonObject{{QStringLiteral("passes"), r.timedPasses},
                         {QStringLiteral("median"), msOrNull(r.medianPassMs)},
                         {QStringLiteral("p95"), msOrNull(r.p95PassMs)}});
    o.insert(QStringLiteral("malformedLines"), malformedJson(r));
    return o;
}

void printReport(const ShiftReport &report, bool json, QTextStream &out)
{
    if (json)
        out << QString::fromUtf8(QJsonDocument(reportJson(report)).toJson(QJsonDocument::Compact))
            << '\n';
    else
        out << reportText(report);
    out.flush();
}

int runReport(const QStringList &files, bool json, QTextStream &out, QTextStream &err,
              const ReportFilter &filter)
{
    if (files.isEmpty()) {
        err << "pelmar-flash: --report needs at least one record file\n";
        err.flush();
        return kUsageStatus;
    }
    const ShiftReport report = readRecords(files, filter);
    for (const QString &why : report.unreadable)
        err << "pelmar-flash: cannot read " << why << '\n';
    for (const QString &path : report.emptyFifos)
        err << "pelmar-flash: " << path << ": " << emptyFifoText() << '\n';
    err.flush();
    printReport(report, json, out);
    return report.unreadable.isEmpty() ? 0 : kUsageStatus;
}

} // namespace flash
