#include "printers.h"

#include "terminal.h"

#include <QHash>
#include <QTimer>
#include <QVector>

namespace flash {

namespace {

constexpr int kBarWidth = 20;

class LivePrinter final : public Printer
{
public:
    explicit LivePrinter(const RunFacts &facts) : m_facts(facts)
    {
        m_redraw.setInterval(kRedrawMs);
        // Redrawn on every tick: the state text moves on without notes too (connecting, ending).
        QObject::connect(&m_redraw, &QTimer::timeout, &m_redraw, [this] { redraw(); });
    }

    void added(const DeviceView &device) override
    {
        m_rows.append(Row{device, QString()});
        m_redraw.start();
    }

    void noted(const DeviceView &, Note) override {}

    void finished(const DeviceView &device, qint64) override
    {
        for (Row &row : m_rows) {
            if (row.device.machine == device.machine) {
                row.verdict = verdictLine(device.port, *device.machine);
                row.device.machine = nullptr;
            }
        }
        redraw();
    }

    void runFinished(const RunSummary &) override
    {
        m_redraw.stop();
        redraw();
    }

    // Above the lines, which are then drawn again below it.
    void message(const QString &text) override
    {
        m_screen.message(text);
        redraw();
    }

private:
    struct Row
    {
        DeviceView device; // its machine null once finished
        QString verdict;
    };

    QString lineOf(const Row &row) const;
    void redraw();

    RunFacts m_facts;
    QVector<Row> m_rows;
    QTimer m_redraw;
    Overprint m_screen;
};

QString LivePrinter::lineOf(const Row &row) const
{
    const SessionMachine *m = row.device.machine;
    if (!m)
        return row.verdict;
    if (m->finished())
        return verdictLine(row.device.port, *m);
    const QString text = row.device.port + QStringLiteral("  ");
    if (m->phase() != Phase::Transfer)
        return text + activityText(*m);
    const Progress p = progressOf(*m, row.device.nowUs(), m_facts);
    const int filled = p.totalFrames > 0 ? p.frames * kBarWidth / p.totalFrames : kBarWidth;
    return text + QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(kBarWidth - filled, QLatin1Char('.')) + QStringLiteral("] ") + progressText(p);
}

// Verdicts are shown whole; a long one wraps, and the next redraw climbs over it.
void LivePrinter::redraw()
{
    QStringList lines;
    for (const Row &row : qAsConst(m_rows))
        lines << lineOf(row);
    m_screen.draw(lines, Overprint::Lines::MayWrap);
}

class PlainPrinter final : public Printer
{
public:
    explicit PlainPrinter(const RunFacts &facts) : m_facts(facts) {}

    void added(const DeviceView &device) override
    {
        m_notes.insert(device.port, PlainNotes(m_facts, PlainNotes::Detail::Full));
        line(device, QStringLiteral("connecting at %1 baud").arg(m_facts.baud));
    }

    void noted(const DeviceView &device, Note note) override
    {
        const auto notes = m_notes.find(device.port);
        const QString text =
            notes == m_notes.end() ? QString() : notes->line(note, *device.machine, device.nowUs());
        if (!text.isEmpty())
            line(device, text);
    }

    void finished(const DeviceView &device, qint64) override
    {
        m_notes.remove(device.port);
        printStamped(verdictLine(device.port, *device.machine));
    }

    void runFinished(const RunSummary &s) override
    {
        printStamped(QStringLiteral("finished: %1 of %2 devices succeeded%3; exit status %4")
                         .arg(s.succeeded)
                         .arg(s.devices)
                         .arg(s.interrupted ? QStringLiteral(", cancelled") : QString())
                         .arg(s.status));
    }

private:
    static void line(const DeviceView &device, const QString &text)
    {
        printStamped(device.port + QStringLiteral(": ") + text);
    }

    RunFacts m_facts;
    QHash<QString, PlainNotes> m_notes; // by port, while its attempt runs
};

class JsonPrinter final : public Printer
{
public:
    explicit JsonPrinter(const RunFacts &facts) : m_facts(facts) {}

    void added(const DeviceView &device) override
    {
        m_notes.insert(device.port, JsonNotes(m_facts));
        writeEvent(QStringLiteral("connecting"), {{QStringLiteral("baud"), m_facts.baud}},
                   device.port);
    }

    void noted(const DeviceView &device, Note note) override
    {
        const auto notes = m_notes.find(device.port);
        QString name;
        QJsonObject fields;
        if (notes != m_notes.end() &&
            notes->event(note, *device.machine, device.nowUs(), &name, &fields))
            writeEvent(name, fields, device.port);
    }

    void finished(const DeviceView &device, qint64 durationMs) override
    {
        m_notes.remove(device.port);
        writeEvent(QStringLiteral("result"), resultFields(*device.machine, durationMs),
                   device.port);
    }

    void recordChanged(const RecordStatus &status) override
    {
        QJsonObject fields;
        const QString name = m_recordEvents.next(status, &fields);
        if (!name.isEmpty())
            writeEvent(name, fields);
    }

    void runFinished(const RunSummary &s) override
    {
        writeEvent(QStringLiteral("finished"), {{QStringLiteral("status"), s.status},
                                                {QStringLiteral("devices"), s.devices},
                                                {QStringLiteral("succeeded"), s.succeeded},
                                                {QStringLiteral("interrupted"), s.interrupted}});
    }

private:
    RunFacts m_facts;
    QHash<QString, JsonNotes> m_notes; // by port, while its attempt runs
    RecordEvents m_recordEvents;
};

} // namespace

PrinterStyle printerStyle(bool json, bool station, bool isTerminal, const QByteArray &term)
{
    if (json)
        return PrinterStyle::Json;
    // A dumb terminal (an editor's shell buffer, a serial console) would print every redraw
    // below the last: plain lines tell the same once.
    if (!terminalCanRedraw(isTerminal, term))
        return PrinterStyle::Plain;
    return station ? PrinterStyle::Board : PrinterStyle::Live;
}

PrinterStyle printerStyle(bool json, bool station)
{
    return printerStyle(json, station, stdoutIsTerminal(), qgetenv("TERM"));
}

std::unique_ptr<Printer> makePrinter(PrinterStyle style, const RunFacts &facts)
{
    switch (style) {
    case PrinterStyle::Live:
    case PrinterStyle::Board:
        return std::make_unique<LivePrinter>(facts);
    case PrinterStyle::Plain:
        return std::make_unique<PlainPrinter>(facts);
    case PrinterStyle::Json:
        break;
    }
    return std::make_unique<JsonPrinter>(facts);
}

} // namespace flash
