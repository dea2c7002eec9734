#include "board.h"

#include "record.h"
#include "runner.h"
#include "slotdriver.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPair>
#include <QTimer>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace flash {

namespace {

constexpr double kMsPerHour = 3600.0 * 1000.0;
// The board's columns: two spaces between them; the state wants room for PASS with a serial
// number and a version (or "in use by another program"), and at least 16 characters before a
// slot takes two lines; a name keeps 16, enough for "…0:1.1:1.0-port0" to tell hub ports apart.
constexpr int kGap = 2;
constexpr int kStateColumns = 30;
constexpr int kMinStateColumns = 16;
constexpr int kMinNameColumns = 16;
const QChar kEllipsis(0x2026);

struct JsonWord
{
    SlotState state;
    const char *word;
};

constexpr JsonWord kJsonWords[] = {
    {SlotState::Empty, "empty"},
    {SlotState::Identifying, "identifying"},
    {SlotState::Updating, "updating"},
    {SlotState::Restarting, "restarting"},
    {SlotState::Pass, "pass"},
    {SlotState::Skip, "skip"},
    {SlotState::Fail, "fail"},
    {SlotState::InUse, "inUse"},
    {SlotState::SamePort, "samePort"},
    {SlotState::CannotOpen, "cannotOpen"},
    {SlotState::RemoveDevice, "removeDevice"},
};

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
    const double perHour = elapsedMs > 0 ? t.verdicts() * kMsPerHour / double(elapsedMs) : 0;
    return {QStringLiteral("passed %1  failed %2  skipped %3")
                .arg(t.passed)
                .arg(t.failed)
                .arg(t.skipped),
            QStringLiteral("first-pass yield %1  %2 devices/h  elapsed %3")
                .arg(yield < 0 ? QStringLiteral("-") : QStringLiteral("%1 %").arg(yield))
                .arg(qRound(perHour))
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
QStringList summaryLines(const QVector<const SlotDriver *> &slotDrivers, const StationTally &t,
                         const StationSummary &s)
{
    QStringList lines;
    lines << QStringLiteral("station stopped%1: %2; exit status %3")
                 .arg(s.interrupted ? QStringLiteral(" (cancelled)") : QString(),
                      footerLines(t, s.elapsedMs).join(QStringLiteral(", ")))
                 .arg(s.status);
    QMap<QString, int> total;
    for (const SlotDriver *slot : slotDrivers) {
        const QMap<QString, int> results = t.results.value(slot->name());
        for (auto it = results.cbegin(); it != results.cend(); ++it)
            total[it.key()] += it.value();
        lines << QStringLiteral("  %1: %2").arg(slot->name(), resultsText(results));
    }
    lines << QStringLiteral("  total: %1").arg(resultsText(total));
    return lines;
}

// A batch of actions is applied after the controller moved on: a note that came with the
// attempt's end (a skipped device's identity) is read from the recorded attempt.
const SessionMachine *noteSource(const SlotDriver &slot)
{
    const SlotController &c = slot.controller();
    return c.session() ? c.session() : c.attempt();
}

QString verdictText(const SlotDriver &slot)
{
    const SessionMachine &m = *slot.controller().attempt();
    QString text = QStringLiteral("%1: %2 (%3): %4")
                       .arg(slot.name(), resultName(m.result()))
                       .arg(exitStatus(m.result()))
                       .arg(m.message());
    const DeviceIdentity &id = m.identityBefore();
    if (id.productReceived || id.waitingForFirmware || !id.version.isEmpty())
        text += QStringLiteral(" [%1]").arg(describeIdentity(id));
    if (m.verifying() && !m.identity().version.isEmpty())
        text += QStringLiteral(" [now %1]").arg(describeIdentity(m.identity()));
    return text;
}

const char *colourOf(SlotState state)
{
    switch (state) {
    case SlotState::Pass:
        return "\x1b[1;32m";
    case SlotState::Fail:
        return "\x1b[1;31m";
    case SlotState::Skip:
    case SlotState::RemoveDevice:
        return "\x1b[1;33m";
    case SlotState::InUse:
    case SlotState::SamePort:
    case SlotState::CannotOpen:
        return "\x1b[35m";
    case SlotState::Identifying:
    case SlotState::Updating:
    case SlotState::Restarting:
        return "\x1b[36m";
    case SlotState::Empty:
        break;
    }
    return "";
}

class BoardPrinter final : public StationPrinter
{
public:
    BoardPrinter(const QVector<const SlotDriver *> &slotDrivers, const StationTally &tally)
        : m_slotDrivers(slotDrivers), m_tally(tally)
    {
#ifdef Q_OS_UNIX
        m_colour = colourWanted(::isatty(STDOUT_FILENO) == 1, qgetenv("TERM"), qgetenv("NO_COLOR"));
#endif
        for (const SlotDriver *slot : slotDrivers)
            m_nameWidth = qMax(m_nameWidth, int(slot->name().size()));
        m_clock.start();
        m_redraw.setInterval(kRedrawMs);
        QObject::connect(&m_redraw, &QTimer::timeout, &m_redraw, [this] { redraw(); });
        m_redraw.start();
    }

    void slotChanged(const SlotDriver &) override
    {
        redraw();
    }
    void noted(const SlotDriver &, Note) override {}
    void recorded(const SlotDriver &) override
    {
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
        if (m_linesDrawn > 0)
            writeOut("\x1b[" + QByteArray::number(m_linesDrawn) + "A\r\x1b[J");
        m_linesDrawn = 0;
        printError(text);
        redraw();
    }

    void stationFinished(const StationSummary &s) override
    {
        m_redraw.stop();
        redraw();
        QByteArray out;
        for (const QString &line : summaryLines(m_slotDrivers, m_tally, s))
            out += line.toUtf8() + '\n';
        writeOut(out);
    }

private:
    QStringList footer() const;
    void redraw();

    QVector<const SlotDriver *> m_slotDrivers;
    const StationTally &m_tally;
    bool m_colour = false;
    int m_nameWidth = 0;
    QElapsedTimer m_clock;
    QTimer m_redraw;
    int m_linesDrawn = 0;
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
    for (const SlotDriver *slot : qAsConst(m_slotDrivers)) {
        const SlotCounts &n = slot->controller().counts();
        counts << QStringLiteral("pass %1 fail %2").arg(n.passed).arg(n.failed);
        countsColumns = qMax(countsColumns, int(counts.last().size()));
    }
    const BoardLayout layout = boardLayout(terminalWidth(), m_nameWidth, countsColumns);
    QByteArray out;
    if (m_linesDrawn > 0)
        out += "\x1b[" + QByteArray::number(m_linesDrawn) + 'A';
    out += "\r\x1b[J";
    QStringList lines;
    for (int i = 0; i < m_slotDrivers.size(); ++i) {
        const SlotDriver &slot = *m_slotDrivers.at(i);
        const SlotController &c = slot.controller();
        const QByteArray on = m_colour ? QByteArray(colourOf(c.state())) : QByteArray();
        lines << boardRow(layout, slot.name(), c.stateText(slot.nowUs()), counts.at(i), on,
                          on.isEmpty() ? QByteArray() : QByteArray("\x1b[0m"));
    }
    for (const QString &line : footer())
        lines << fitEnd(line, layout.columns);
    for (const QString &line : qAsConst(lines))
        out += line.toUtf8() + '\n';
    m_linesDrawn = lines.size();
    writeOut(out);
}

class PlainStationPrinter final : public StationPrinter
{
public:
    PlainStationPrinter(const RunFacts &facts, const QVector<const SlotDriver *> &slotDrivers,
                        const StationTally &tally)
        : m_facts(facts), m_slotDrivers(slotDrivers), m_tally(tally)
    {
    }

    void slotChanged(const SlotDriver &slot) override
    {
        const QString text = slot.controller().stateText(slot.nowUs());
        if (m_shown.value(&slot) == text)
            return;
        m_shown.insert(&slot, text);
        m_step.insert(&slot, -1);
        printStamped(QStringLiteral("%1: %2").arg(slot.name(), text));
    }

    void noted(const SlotDriver &slot, Note note) override;

    void recorded(const SlotDriver &slot) override { printStamped(verdictText(slot)); }

    void stationFinished(const StationSummary &s) override
    {
        for (const QString &line : summaryLines(m_slotDrivers, m_tally, s))
            printStamped(line);
    }

private:
    RunFacts m_facts;
    QVector<const SlotDriver *> m_slotDrivers;
    const StationTally &m_tally;
    QHash<const SlotDriver *, QString> m_shown;
    QHash<const SlotDriver *, int> m_step;
};

void PlainStationPrinter::noted(const SlotDriver &slot, Note note)
{
    const SessionMachine *m = noteSource(slot);
    if (!m)
        return;
    const auto line = [&slot](const QString &text) {
        printStamped(QStringLiteral("%1: %2").arg(slot.name(), text));
    };
    switch (note) {
    case Note::Connected:
        line(QStringLiteral("connected: %1").arg(describeIdentity(m->identity())));
        break;
    case Note::TransferStarted:
        line(QStringLiteral("transfer started: %1 frames, %2 bytes")
                 .arg(m->framesTotal())
                 .arg(m_facts.payloadBytes));
        break;
    case Note::FrameAccepted: {
        const Progress p = progressOf(*m, slot.nowUs(), m_facts);
        const int step = p.percent / kPlainStepPercent * kPlainStepPercent;
        if (step > m_step.value(&slot, -1)) {
            m_step.insert(&slot, step);
            line(
                QStringLiteral("%1% %2/%3 frames").arg(p.percent).arg(p.frames).arg(p.totalFrames));
        }
        break;
    }
    case Note::Ending:
        line(QStringLiteral("every frame accepted; ending"));
        break;
    case Note::Restarting:
        line(QStringLiteral("end confirmed; waiting for the device to restart"));
        break;
    }
}

class JsonStationPrinter final : public StationPrinter
{
public:
    JsonStationPrinter(const RunFacts &facts, const QVector<const SlotDriver *> &slotDrivers,
                       const StationTally &tally)
        : m_facts(facts), m_slotDrivers(slotDrivers), m_tally(tally)
    {
    }

    void slotChanged(const SlotDriver &slot) override;
    void noted(const SlotDriver &slot, Note note) override;
    void recorded(const SlotDriver &slot) override;
    void stationFinished(const StationSummary &s) override;

    void recordChanged(const RecordStatus &status) override
    {
        QJsonObject fields;
        const QString name = m_recordEvents.next(status, &fields);
        if (!name.isEmpty())
            event(name, nullptr, fields);
    }

private:
    static void event(const QString &name, const SlotDriver *slot, QJsonObject fields);

    RunFacts m_facts;
    QVector<const SlotDriver *> m_slotDrivers;
    const StationTally &m_tally;
    QHash<const SlotDriver *, QPair<SlotState, QString>> m_shown;
    QHash<const SlotDriver *, qint64> m_lastProgressUs;
    RecordEvents m_recordEvents;
};

void JsonStationPrinter::event(const QString &name, const SlotDriver *slot, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), name);
    fields.insert(QStringLiteral("time"), nowText());
    if (slot) {
        fields.insert(QStringLiteral("slot"), slot->name());
        fields.insert(QStringLiteral("port"), slot->name());
    }
    writeOut(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void JsonStationPrinter::slotChanged(const SlotDriver &slot)
{
    const SlotController &c = slot.controller();
    const QPair<SlotState, QString> shown(c.state(), c.stateText(slot.nowUs()));
    const auto last = m_shown.constFind(&slot);
    if (last != m_shown.cend() && *last == shown)
        return;
    const bool arriving = c.state() == SlotState::Identifying &&
                          (last == m_shown.cend() || last->first != SlotState::Identifying);
    m_shown.insert(&slot, shown);
    event(QStringLiteral("slot"), &slot,
          {{QStringLiteral("state"), slotStateJsonWord(shown.first)},
           {QStringLiteral("text"), shown.second}});
    if (arriving)
        event(QStringLiteral("connecting"), &slot, {{QStringLiteral("baud"), m_facts.baud}});
}

void JsonStationPrinter::noted(const SlotDriver &slot, Note note)
{
    const SessionMachine *m = noteSource(slot);
    if (!m)
        return;
    switch (note) {
    case Note::Connected:
        event(QStringLiteral("connected"), &slot, identityFields(m->identity()));
        break;
    case Note::TransferStarted:
        m_lastProgressUs.insert(&slot, -1);
        event(QStringLiteral("transferStarted"), &slot,
              {{QStringLiteral("totalFrames"), m->framesTotal()},
               {QStringLiteral("bytes"), m_facts.payloadBytes}});
        break;
    case Note::FrameAccepted: {
        const qint64 nowUs = slot.nowUs();
        const Progress p = progressOf(*m, nowUs, m_facts);
        qint64 &last = m_lastProgressUs[&slot];
        if (p.frames != p.totalFrames && last >= 0 && nowUs - last < kProgressEventUs)
            break;
        last = nowUs;
        event(QStringLiteral("progress"), &slot, progressFields(p));
        break;
    }
    case Note::Ending:
        event(QStringLiteral("ending"), &slot, QJsonObject());
        break;
    case Note::Restarting:
        event(QStringLiteral("restarting"), &slot, QJsonObject());
        break;
    }
}

void JsonStationPrinter::recorded(const SlotDriver &slot)
{
    const SlotController &c = slot.controller();
    const SessionMachine &m = *c.attempt();
    QJsonObject o = resultFields(m);
    o.insert(QStringLiteral("durationMs"), (c.attemptEndUs() - c.attemptStartUs()) / 1000);
    event(QStringLiteral("result"), &slot, o);
}

void JsonStationPrinter::stationFinished(const StationSummary &s)
{
    QJsonArray slotDrivers;
    for (const SlotDriver *slot : qAsConst(m_slotDrivers)) {
        const SlotCounts &n = slot->controller().counts();
        QJsonObject results;
        const QMap<QString, int> counted = m_tally.results.value(slot->name());
        for (auto it = counted.cbegin(); it != counted.cend(); ++it)
            results.insert(it.key(), it.value());
        slotDrivers.append(QJsonObject{{QStringLiteral("slot"), slot->name()},
                                       {QStringLiteral("passed"), n.passed},
                                       {QStringLiteral("failed"), n.failed},
                                       {QStringLiteral("skipped"), n.skipped},
                                       {QStringLiteral("results"), results}});
    }
    const int yield = m_tally.firstPassYield();
    event(QStringLiteral("stationFinished"), nullptr,
          {{QStringLiteral("passed"), m_tally.passed},
           {QStringLiteral("failed"), m_tally.failed},
           {QStringLiteral("skipped"), m_tally.skipped},
           {QStringLiteral("firstPassYield"), yield < 0 ? QJsonValue() : QJsonValue(yield)},
           {QStringLiteral("status"), s.status},
           {QStringLiteral("interrupted"), s.interrupted},
           {QStringLiteral("elapsedMs"), s.elapsedMs},
           {QStringLiteral("slots"), slotDrivers}});
}

} // namespace

void StationTally::add(const QString &slot, const SessionMachine &attempt)
{
    const Result result = attempt.result();
    ++results[slot][resultName(result)];
    if (result == Result::Skipped) {
        ++skipped;
        return;
    }
    const bool pass = result == Result::Success;
    pass ? ++passed : ++failed;
    // By serial number: a device's second attempt (a re-insert after FAIL) is not a new device.
    // A recovered device gives its serial number only after the restart.
    QString serial = attempt.identityBefore().serialNumber;
    if (serial.isEmpty())
        serial = attempt.identity().serialNumber;
    if (!serial.isEmpty() && seenSerials.contains(serial))
        return;
    if (!serial.isEmpty())
        seenSerials.insert(serial);
    ++devices;
    firstPass += pass;
}

int StationTally::firstPassYield() const
{
    return devices > 0 ? qRound(100.0 * firstPass / devices) : -1;
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

QString slotStateJsonWord(SlotState state)
{
    for (const JsonWord &w : kJsonWords) {
        if (w.state == state)
            return QString::fromLatin1(w.word);
    }
    return QString();
}

std::unique_ptr<StationPrinter> makeStationPrinter(PrinterStyle style, const RunFacts &facts,
                                                   const QVector<const SlotDriver *> &slotDrivers,
                                                   const StationTally &tally)
{
    switch (style) {
    case PrinterStyle::Live:
    case PrinterStyle::Board:
        return std::make_unique<BoardPrinter>(slotDrivers, tally);
    case PrinterStyle::Plain:
        return std::make_unique<PlainStationPrinter>(facts, slotDrivers, tally);
    case PrinterStyle::Json:
        break;
    }
    return std::make_unique<JsonStationPrinter>(facts, slotDrivers, tally);
}

} // namespace flash
