#include "board.h"

#include "record.h"
#include "slotwords.h"
#include "terminal.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QPair>
#include <QTimer>

namespace flash {

namespace {

// The board's columns: two spaces between them; the state wants room for PASS with a serial
// number and a version (or "in use by another program"), and at least 16 characters before a
// slot takes two lines; a name keeps 16, enough for "…0:1.1:1.0-port0" to tell hub ports apart.
constexpr int kGap = 2;
constexpr int kStateColumns = 30;
constexpr int kMinStateColumns = 16;
constexpr int kMinNameColumns = 16;
const QChar kEllipsis(0x2026);

QString clockText(qint64 ms)
{
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

// Two lines: together they would not fit an 80-column terminal.
QStringList footerLines(const StationTally &t, qint64 elapsedMs)
{
    const int yield = t.firstPassYield();
    return {QStringLiteral("passed %1  failed %2  skipped %3")
                .arg(t.passed)
                .arg(t.failed)
                .arg(t.skipped),
            QStringLiteral("first-pass yield %1  %2 devices/h  elapsed %3")
                .arg(yield < 0 ? QStringLiteral("-") : QStringLiteral("%1 %").arg(yield))
                .arg(t.devicesPerHour(elapsedMs))
                .arg(clockText(elapsedMs))};
}

QString resultsText(const QMap<QString, int> &results)
{
    QStringList parts;
    for (auto it = results.cbegin(); it != results.cend(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    return parts.isEmpty() ? QStringLiteral("no devices") : parts.join(QStringLiteral(", "));
}

// The summary: per slot and in total, by result class.
QStringList summaryLines(const QVector<SlotView> &slotViews, const StationTally &t,
                         const StationSummary &s)
{
    QStringList lines;
    lines << QStringLiteral("station stopped%1: %2; exit status %3")
                 .arg(s.interrupted ? QStringLiteral(" (cancelled)") : QString(),
                      footerLines(t, s.elapsedMs).join(QStringLiteral(", ")))
                 .arg(s.status);
    QMap<QString, int> total;
    for (const SlotView &slot : slotViews) {
        const QMap<QString, int> results = t.results.value(slot.name);
        for (auto it = results.cbegin(); it != results.cend(); ++it)
            total[it.key()] += it.value();
        lines << QStringLiteral("  %1: %2").arg(slot.name, resultsText(results));
    }
    lines << QStringLiteral("  total: %1").arg(resultsText(total));
    return lines;
}

QString jobNoticeWord(StationPrinter::JobNotice kind)
{
    return kind == StationPrinter::JobNotice::Complete ? QStringLiteral("jobComplete")
                                                       : QStringLiteral("imageChanged");
}

// A batch of actions is applied after the controller moved on: a note that came with the
// attempt's end (a skipped device's identity) is read from the recorded attempt.
const SessionMachine *noteSource(const SlotView &slot)
{
    const SlotController &c = *slot.controller;
    return c.session() ? c.session() : c.attempt();
}

qint64 attemptDurationMs(const SlotController &c)
{
    return (c.attemptEndUs() - c.attemptStartUs()) / 1000;
}

class BoardPrinter final : public StationPrinter
{
public:
    BoardPrinter(const RunFacts &facts, const QVector<SlotView> &slotViews,
                 const StationTally &tally, const JobFacts *job)
        : m_facts(facts), m_slots(slotViews), m_tally(tally), m_colour(colourWanted())
    {
        if (job)
            m_job = std::make_unique<JobFacts>(*job);
        for (const SlotView &slot : slotViews)
            m_nameWidth = qMax(m_nameWidth, int(slot.name.size()));
        m_clock.start();
        m_redraw.setInterval(kRedrawMs);
        QObject::connect(&m_redraw, &QTimer::timeout, &m_redraw, [this] { redraw(); });
        m_redraw.start();
    }

    void slotChanged(const SlotView &) override { redraw(); }
    void noted(const SlotView &, Note) override {}
    void recorded(const SlotView &) override { redraw(); }

    void jobNotice(JobNotice, const QString &text) override
    {
        m_notices << text;
        redraw();
    }

    void recordChanged(const RecordStatus &status) override
    {
        m_record = status;
        m_recordSinceMs = m_clock.elapsed() - status.waitedMs;
        redraw();
    }

    // Above the board, which is then drawn again below it.
    void message(const QString &text) override
    {
        m_screen.message(text);
        redraw();
    }

    void stationFinished(const StationSummary &s) override
    {
        m_redraw.stop();
        redraw();
        QByteArray out;
        for (const QString &line : summaryLines(m_slots, m_tally, s))
            out += line.toUtf8() + '\n';
        writeOut(out);
    }

private:
    QStringList footer() const;
    void redraw();

    std::unique_ptr<JobFacts> m_job;
    QStringList m_notices; // the job's, each told once and kept in the header
    RunFacts m_facts;
    QVector<SlotView> m_slots;
    const StationTally &m_tally;
    bool m_colour = false;
    int m_nameWidth = 0;
    QElapsedTimer m_clock;
    QTimer m_redraw;
    Overprint m_screen;
    RecordStatus m_record;
    qint64 m_recordSinceMs = 0;
};

QStringList BoardPrinter::footer() const
{
    QStringList lines = footerLines(m_tally, m_clock.elapsed());
    if (m_record.waiting)
        lines << QStringLiteral("record waiting %1 s: %2 not written yet (%3)")
                     .arg((m_clock.elapsed() - m_recordSinceMs) / 1000)
                     .arg(m_record.lines == 1 ? QStringLiteral("1 line")
                                              : QStringLiteral("%1 lines").arg(m_record.lines))
                     .arg(m_record.lockHeld ? QStringLiteral("lock held by another program")
                                            : QStringLiteral("the disk is slow"));
    return lines;
}

// Every line fits the terminal, so the lines printed are the lines to climb over next time.
void BoardPrinter::redraw()
{
    QStringList counts;
    int countsColumns = 0;
    for (const SlotView &slot : qAsConst(m_slots)) {
        const SlotCounts &n = slot.controller->counts();
        counts << QStringLiteral("pass %1 fail %2").arg(n.passed).arg(n.failed);
        countsColumns = qMax(countsColumns, int(counts.last().size()));
    }
    const BoardLayout layout = boardLayout(terminalWidth(), m_nameWidth, countsColumns);
    QStringList lines;
    if (m_job) {
        for (const QString &line : jobHeaderLines(*m_job) + m_notices)
            lines << fitEnd(line, layout.columns);
    }
    for (int i = 0; i < m_slots.size(); ++i) {
        const SlotView &slot = m_slots.at(i);
        const SlotController &c = *slot.controller;
        const QByteArray on = m_colour ? QByteArray(slotStateColour(c.state())) : QByteArray();
        lines << boardRow(layout, slot.name, slotStateText(c, slot.nowUs(), m_facts), counts.at(i),
                          on, on.isEmpty() ? QByteArray() : QByteArray("\x1b[0m"));
    }
    for (const QString &line : footer())
        lines << fitEnd(line, layout.columns);
    m_screen.draw(lines, Overprint::Lines::Fit);
}

class PlainStationPrinter final : public StationPrinter
{
public:
    PlainStationPrinter(const RunFacts &facts, const QVector<SlotView> &slotViews,
                        const StationTally &tally, const JobFacts *job)
        : m_facts(facts), m_slots(slotViews), m_tally(tally)
    {
        if (job) {
            for (const QString &line : jobHeaderLines(*job))
                printStamped(line);
        }
    }

    void jobNotice(JobNotice, const QString &text) override { printStamped(text); }

    void slotChanged(const SlotView &slot) override
    {
        const QString text = slotStateText(*slot.controller, slot.nowUs(), m_facts);
        if (m_shown.value(slot.name) == text)
            return;
        m_shown.insert(slot.name, text);
        notesOf(slot).restart();
        printStamped(QStringLiteral("%1: %2").arg(slot.name, text));
    }

    void noted(const SlotView &slot, Note note) override
    {
        const SessionMachine *m = noteSource(slot);
        const QString text = m ? notesOf(slot).line(note, *m, slot.nowUs()) : QString();
        if (!text.isEmpty())
            printStamped(QStringLiteral("%1: %2").arg(slot.name, text));
    }

    void recorded(const SlotView &slot) override
    {
        printStamped(verdictLine(slot.name, *slot.controller->attempt()));
    }

    void stationFinished(const StationSummary &s) override
    {
        for (const QString &line : summaryLines(m_slots, m_tally, s))
            printStamped(line);
    }

private:
    PlainNotes &notesOf(const SlotView &slot)
    {
        auto it = m_notes.find(slot.name);
        if (it == m_notes.end())
            it = m_notes.insert(slot.name, PlainNotes(m_facts, PlainNotes::Detail::Brief));
        return *it;
    }

    RunFacts m_facts;
    QVector<SlotView> m_slots;
    const StationTally &m_tally;
    QHash<QString, QString> m_shown;
    QHash<QString, PlainNotes> m_notes;
};

QJsonObject jobJson(const JobFacts &j)
{
    return {{QStringLiteral("station"), j.station},
            {QStringLiteral("job"), j.name},
            {QStringLiteral("jobFile"), j.file},
            {QStringLiteral("jobSha256"), j.fileSha256},
            {QStringLiteral("image"), j.image},
            {QStringLiteral("expectVersion"), orNull(j.expectVersion)},
            {QStringLiteral("imageSha256"), j.imageSha256},
            {QStringLiteral("record"), j.record},
            {QStringLiteral("passed"), j.quota->passed()},
            {QStringLiteral("passesWithoutSerial"), j.quota->passesWithoutSerial()},
            {QStringLiteral("quantity"), j.quota->quantity()}};
}

class JsonStationPrinter final : public StationPrinter
{
public:
    JsonStationPrinter(const RunFacts &facts, const QVector<SlotView> &slotViews,
                       const StationTally &tally, const JobFacts *job)
        : m_facts(facts), m_slots(slotViews), m_tally(tally)
    {
        if (job)
            writeEvent(QStringLiteral("job"), jobJson(*job));
    }

    void jobNotice(JobNotice kind, const QString &text) override
    {
        writeEvent(jobNoticeWord(kind), {{QStringLiteral("text"), text}});
    }

    void slotChanged(const SlotView &slot) override;
    void noted(const SlotView &slot, Note note) override;
    void stationFinished(const StationSummary &s) override;

    void recorded(const SlotView &slot) override
    {
        const SlotController &c = *slot.controller;
        writeEvent(QStringLiteral("result"), resultFields(*c.attempt(), attemptDurationMs(c)),
                   slot.name, EventSource::Slot);
    }

    void recordChanged(const RecordStatus &status) override
    {
        QJsonObject fields;
        const QString name = m_recordEvents.next(status, &fields);
        if (!name.isEmpty())
            writeEvent(name, fields);
    }

private:
    QJsonArray slotsJson() const;

    RunFacts m_facts;
    QVector<SlotView> m_slots;
    const StationTally &m_tally;
    QHash<QString, QPair<SlotState, QString>> m_shown;
    QHash<QString, JsonNotes> m_notes;
    RecordEvents m_recordEvents;
};

void JsonStationPrinter::slotChanged(const SlotView &slot)
{
    const SlotController &c = *slot.controller;
    const QPair<SlotState, QString> shown(c.state(), slotStateText(c, slot.nowUs(), m_facts));
    const auto last = m_shown.constFind(slot.name);
    if (last != m_shown.cend() && *last == shown)
        return;
    const bool arriving = c.state() == SlotState::Identifying &&
                          (last == m_shown.cend() || last->first != SlotState::Identifying);
    m_shown.insert(slot.name, shown);
    writeEvent(QStringLiteral("slot"),
               {{QStringLiteral("state"), slotStateJsonWord(shown.first)},
                {QStringLiteral("text"), shown.second}},
               slot.name, EventSource::Slot);
    if (arriving)
        writeEvent(QStringLiteral("connecting"), {{QStringLiteral("baud"), m_facts.baud}},
                   slot.name, EventSource::Slot);
}

void JsonStationPrinter::noted(const SlotView &slot, Note note)
{
    const SessionMachine *m = noteSource(slot);
    if (!m)
        return;
    auto notes = m_notes.find(slot.name);
    if (notes == m_notes.end())
        notes = m_notes.insert(slot.name, JsonNotes(m_facts));
    QString name;
    QJsonObject fields;
    if (notes->event(note, *m, slot.nowUs(), &name, &fields))
        writeEvent(name, fields, slot.name, EventSource::Slot);
}

QJsonArray JsonStationPrinter::slotsJson() const
{
    QJsonArray list;
    for (const SlotView &slot : qAsConst(m_slots)) {
        const SlotCounts &n = slot.controller->counts();
        QJsonObject results;
        const QMap<QString, int> counted = m_tally.results.value(slot.name);
        for (auto it = counted.cbegin(); it != counted.cend(); ++it)
            results.insert(it.key(), it.value());
        list.append(QJsonObject{{QStringLiteral("slot"), slot.name},
                                {QStringLiteral("passed"), n.passed},
                                {QStringLiteral("failed"), n.failed},
                                {QStringLiteral("skipped"), n.skipped},
                                {QStringLiteral("results"), results}});
    }
    return list;
}

void JsonStationPrinter::stationFinished(const StationSummary &s)
{
    const int yield = m_tally.firstPassYield();
    writeEvent(QStringLiteral("stationFinished"),
               {{QStringLiteral("passed"), m_tally.passed},
                {QStringLiteral("failed"), m_tally.failed},
                {QStringLiteral("skipped"), m_tally.skipped},
                {QStringLiteral("firstPassYield"), yield < 0 ? QJsonValue() : QJsonValue(yield)},
                {QStringLiteral("status"), s.status},
                {QStringLiteral("interrupted"), s.interrupted},
                {QStringLiteral("elapsedMs"), s.elapsedMs},
                {QStringLiteral("slots"), slotsJson()}});
}

} // namespace

QStringList jobHeaderLines(const JobFacts &j)
{
    constexpr int kHashShown = 12;
    const JobQuota &q = *j.quota;
    QString count = q.quantity() > 0
                        ? QStringLiteral("passed %1 / %2").arg(q.passed()).arg(q.quantity())
                        : QStringLiteral("passed %1 (no quantity)").arg(q.passed());
    if (q.passesWithoutSerial() > 0)
        count += QStringLiteral(" (%1 without a serial number, not counted)")
                     .arg(q.passesWithoutSerial());
    return {QStringLiteral("station %1  job %2").arg(j.station, j.name),
            QStringLiteral("job file %1 (%2)").arg(j.file, j.fileSha256.left(kHashShown)),
            QStringLiteral("image %1  version %2  sha256 %3")
                .arg(j.image, j.expectVersion.isEmpty() ? QStringLiteral("any") : j.expectVersion,
                     j.imageSha256.left(kHashShown)),
            QStringLiteral("%1  record %2").arg(count, j.record)};
}

QString fitEnd(const QString &text, int columns)
{
    if (text.size() <= columns)
        return text;
    return columns > 0 ? text.left(columns - 1) + kEllipsis : QString();
}

QString fitStart(const QString &text, int columns)
{
    if (text.size() <= columns)
        return text;
    return columns > 0 ? kEllipsis + text.right(columns - 1) : QString();
}

BoardLayout boardLayout(int width, int longestName, int countsColumns)
{
    BoardLayout l;
    l.columns = qMax(1, width - 1);
    l.countsColumns = countsColumns;
    const int room = l.columns - 2 * kGap - countsColumns;
    l.nameColumns = qMin(longestName, qMax(kMinNameColumns, room - kStateColumns));
    l.twoLines = room - l.nameColumns < kMinStateColumns;
    if (l.twoLines)
        l.nameColumns = qMin(longestName, l.columns);
    return l;
}

QStringList boardRow(const BoardLayout &l, const QString &name, const QString &state,
                     const QString &counts, const QByteArray &colourOn, const QByteArray &colourOff)
{
    const QString gap(kGap, QLatin1Char(' '));
    const auto coloured = [&](int columns) {
        return QString::fromLatin1(colourOn) + fitEnd(state, columns).leftJustified(columns) +
               QString::fromLatin1(colourOff);
    };
    const QString shownName = fitStart(name, l.nameColumns);
    if (!l.twoLines) {
        const int stateColumns = l.columns - l.nameColumns - 2 * kGap - l.countsColumns;
        return {shownName.leftJustified(l.nameColumns) + gap + coloured(stateColumns) + gap +
                counts};
    }
    const int stateColumns = l.columns - 2 * kGap - l.countsColumns;
    // Too narrow for any of the state: the counts alone, cut if they must be.
    if (stateColumns < 1)
        return {shownName, fitEnd(gap + counts, l.columns)};
    return {shownName, gap + coloured(stateColumns) + gap + counts};
}

std::unique_ptr<StationPrinter> makeStationPrinter(PrinterStyle style, const RunFacts &facts,
                                                   const QVector<SlotView> &slotViews,
                                                   const StationTally &tally, const JobFacts *job)
{
    switch (style) {
    case PrinterStyle::Live:
    case PrinterStyle::Board:
        return std::make_unique<BoardPrinter>(facts, slotViews, tally, job);
    case PrinterStyle::Plain:
        return std::make_unique<PlainStationPrinter>(facts, slotViews, tally, job);
    case PrinterStyle::Json:
        break;
    }
    return std::make_unique<JsonStationPrinter>(facts, slotViews, tally, job);
}

} // namespace flash
