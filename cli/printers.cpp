#include "printers.h"

#include "progress.h"
#include "record.h"
#include "runner.h"
#include "sessiondriver.h"

#include <QDateTime>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QVector>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace flash {

namespace {

constexpr int kBarWidth = 20;

QString duration(double seconds)
{
    const qint64 s = qint64(seconds + 0.5);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString rate(double bytesPerSecond)
{
    return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
}

QString progressText(const Progress &p)
{
    QString text = QStringLiteral("%1% %2/%3 frames, %4, %5 left")
                       .arg(p.percent, 3)
                       .arg(p.frames)
                       .arg(p.totalFrames)
                       .arg(rate(p.bytesPerSecond), duration(p.secondsLeft));
    if (p.resends > 0)
        text += QStringLiteral(", %1 resent").arg(p.resends);
    return text;
}

// A device that named only its version still told which firmware answered.
bool toldAnything(const DeviceIdentity &id)
{
    return id.productReceived || id.waitingForFirmware || !id.version.isEmpty();
}

class LivePrinter final : public Printer
{
public:
    explicit LivePrinter(const RunFacts &facts) : m_facts(facts)
    {
        m_redraw.setInterval(kRedrawMs);
        // Redrawn on every tick: the state text moves on without notes too (connecting, ending).
        QObject::connect(&m_redraw, &QTimer::timeout, &m_redraw, [this] { redraw(); });
    }

    void added(const SessionDriver &driver) override
    {
        m_rows.append(Row{&driver, QString()});
        m_redraw.start();
    }

    void noted(const SessionDriver &, Note) override {}

    void finished(const SessionDriver &driver) override
    {
        for (Row &row : m_rows) {
            if (row.driver == &driver) {
                row.verdict = verdictLine(driver);
                row.driver = nullptr;
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
        if (m_linesDrawn > 0)
            writeOut("\x1b[" + QByteArray::number(m_linesDrawn) + "A\r\x1b[J");
        m_linesDrawn = 0;
        printError(text);
        redraw();
    }

private:
    struct Row
    {
        const SessionDriver *driver; // null once finished
        QString verdict;
    };

    QString lineOf(const Row &row) const;
    void redraw();

    RunFacts m_facts;
    QVector<Row> m_rows;
    QTimer m_redraw;
    int m_linesDrawn = 0;
};

QString LivePrinter::lineOf(const Row &row) const
{
    if (!row.driver)
        return row.verdict;
    const SessionMachine &m = row.driver->machine();
    if (m.finished())
        return verdictLine(*row.driver);
    QString text = row.driver->portName() + QStringLiteral("  ");
    if (m.phase() != Phase::Transfer)
        return text + m.stateText();
    const Progress p = progressOf(*row.driver, m_facts);
    const int filled = p.totalFrames > 0 ? p.frames * kBarWidth / p.totalFrames : kBarWidth;
    return text + QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(kBarWidth - filled, QLatin1Char('.')) + QStringLiteral("] ") + progressText(p);
}

void LivePrinter::redraw()
{
    const int width = terminalWidth();
    QByteArray out;
    // Back to the first session's line, clear everything below and write the lines again.
    if (m_linesDrawn > 0)
        out += "\x1b[" + QByteArray::number(m_linesDrawn) + 'A';
    out += "\r\x1b[J";
    int lines = 0;
    for (const Row &row : qAsConst(m_rows)) {
        // Verdicts are shown whole; a long one wraps, and the next redraw climbs over it.
        const QString text = lineOf(row);
        out += text.toUtf8() + '\n';
        lines += qMax(1, int((text.size() + width - 1) / width));
    }
    m_linesDrawn = lines;
    writeOut(out);
}

class PlainPrinter final : public Printer
{
public:
    explicit PlainPrinter(const RunFacts &facts) : m_facts(facts) {}

    void added(const SessionDriver &driver) override
    {
        m_stepShown.insert(&driver, -1);
        line(driver, QStringLiteral("connecting at %1 baud").arg(m_facts.baud));
    }

    void noted(const SessionDriver &driver, Note note) override;

    void finished(const SessionDriver &driver) override
    {
        m_stepShown.remove(&driver);
        printStamped(verdictLine(driver));
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
    void line(const SessionDriver &driver, const QString &text)
    {
        printStamped(driver.portName() + QStringLiteral(": ") + text);
    }

    RunFacts m_facts;
    QHash<const SessionDriver *, int> m_stepShown; // the last percent step printed
};

void PlainPrinter::noted(const SessionDriver &driver, Note note)
{
    const SessionMachine &m = driver.machine();
    switch (note) {
    case Note::Connected:
        line(driver, QStringLiteral("connected: %1").arg(describeIdentity(m.identity())));
        break;
    case Note::TransferStarted:
        line(driver, QStringLiteral("transfer started: %1 frames, %2 bytes")
                         .arg(m.framesTotal())
                         .arg(m_facts.payloadBytes));
        break;
    case Note::FrameAccepted: {
        const Progress p = progressOf(driver, m_facts);
        const int step = p.percent / kPlainStepPercent * kPlainStepPercent;
        if (m_stepShown.contains(&driver) && step > m_stepShown.value(&driver)) {
            m_stepShown.insert(&driver, step);
            line(driver, progressText(p));
        }
        break;
    }
    case Note::Ending:
        line(driver, QStringLiteral("every frame accepted; ending"));
        break;
    case Note::Restarting:
        line(driver, QStringLiteral("end confirmed; waiting for the device to restart"));
        break;
    }
}

class JsonPrinter final : public Printer
{
public:
    explicit JsonPrinter(const RunFacts &facts) : m_facts(facts) {}

    void added(const SessionDriver &driver) override
    {
        m_lastProgressUs.insert(&driver, -1);
        event(QStringLiteral("connecting"), &driver, {{QStringLiteral("baud"), m_facts.baud}});
    }

    void noted(const SessionDriver &driver, Note note) override;
    void finished(const SessionDriver &driver) override;

    void recordChanged(const RecordStatus &status) override
    {
        QJsonObject fields;
        const QString name = m_recordEvents.next(status, &fields);
        if (!name.isEmpty())
            event(name, nullptr, fields);
    }

    void runFinished(const RunSummary &s) override
    {
        event(QStringLiteral("finished"), nullptr,
              {{QStringLiteral("status"), s.status},
               {QStringLiteral("devices"), s.devices},
               {QStringLiteral("succeeded"), s.succeeded},
               {QStringLiteral("interrupted"), s.interrupted}});
    }

private:
    static void event(const QString &name, const SessionDriver *driver, QJsonObject fields);
    void progress(const SessionDriver &driver);

    RunFacts m_facts;
    QHash<const SessionDriver *, qint64> m_lastProgressUs;
    RecordEvents m_recordEvents;
};

void JsonPrinter::event(const QString &name, const SessionDriver *driver, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), name);
    fields.insert(QStringLiteral("time"), nowText());
    if (driver)
        fields.insert(QStringLiteral("port"), driver->portName());
    writeOut(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void JsonPrinter::progress(const SessionDriver &driver)
{
    const auto last = m_lastProgressUs.find(&driver);
    if (last == m_lastProgressUs.end())
        return;
    const qint64 nowUs = driver.nowUs();
    const Progress p = progressOf(driver, m_facts);
    if (p.frames != p.totalFrames && *last >= 0 && nowUs - *last < kProgressEventUs)
        return;
    *last = nowUs;
    event(QStringLiteral("progress"), &driver, progressFields(p));
}

void JsonPrinter::noted(const SessionDriver &driver, Note note)
{
    const SessionMachine &m = driver.machine();
    switch (note) {
    case Note::Connected:
        event(QStringLiteral("connected"), &driver, identityFields(m.identity()));
        break;
    case Note::TransferStarted:
        event(QStringLiteral("transferStarted"), &driver,
              {{QStringLiteral("totalFrames"), m.framesTotal()},
               {QStringLiteral("bytes"), m_facts.payloadBytes}});
        break;
    case Note::FrameAccepted:
        progress(driver);
        break;
    case Note::Ending:
        event(QStringLiteral("ending"), &driver, QJsonObject());
        break;
    case Note::Restarting:
        event(QStringLiteral("restarting"), &driver, QJsonObject());
        break;
    }
}

void JsonPrinter::finished(const SessionDriver &driver)
{
    m_lastProgressUs.remove(&driver);
    const SessionMachine &m = driver.machine();
    QJsonObject o = resultFields(m);
    o.insert(QStringLiteral("durationMs"), driver.durationMs());
    event(QStringLiteral("result"), &driver, o);
}

} // namespace

int terminalWidth()
{
#ifdef Q_OS_UNIX
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
#endif
    return 80;
}

bool terminalCanRedraw(bool isTerminal, const QByteArray &term)
{
    return isTerminal && !term.isEmpty() && term != "dumb";
}

bool colourWanted(bool isTerminal, const QByteArray &term, const QByteArray &noColour)
{
    return terminalCanRedraw(isTerminal, term) && noColour.isEmpty();
}

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
#ifdef Q_OS_UNIX
    const bool isTerminal = ::isatty(STDOUT_FILENO) == 1;
#else
    const bool isTerminal = false;
#endif
    return printerStyle(json, station, isTerminal, qgetenv("TERM"));
}

QString RecordEvents::next(const RecordStatus &status, QJsonObject *fields)
{
    if (status.waiting == m_waiting)
        return QString();
    m_waiting = status.waiting;
    *fields = {{QStringLiteral("file"), status.file}, {QStringLiteral("lines"), status.lines}};
    if (!status.waiting)
        return QStringLiteral("recordWritten");
    fields->insert(QStringLiteral("lockHeld"), status.lockHeld);
    fields->insert(QStringLiteral("waitedMs"), status.waitedMs);
    return QStringLiteral("recordWaiting");
}

void writeOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString nowText()
{
    return isoTime(QDateTime::currentDateTimeUtc());
}

// One plain line, after the time.
void printStamped(const QString &text)
{
    writeOut((nowText() + QLatin1Char(' ') + text + QLatin1Char('\n')).toUtf8());
}

QJsonObject identityFields(const DeviceIdentity &id)
{
    QJsonObject o;
    o.insert(QStringLiteral("product"),
             id.productReceived ? QJsonValue(id.product) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("serialNumber"), orNull(id.serialNumber));
    o.insert(QStringLiteral("version"), orNull(id.version));
    o.insert(QStringLiteral("waitingForFirmware"), id.waitingForFirmware);
    return o;
}

QJsonObject progressFields(const Progress &p)
{
    return {{QStringLiteral("frames"), p.frames},
            {QStringLiteral("totalFrames"), p.totalFrames},
            {QStringLiteral("resends"), p.resends},
            {QStringLiteral("percent"), p.percent},
            {QStringLiteral("bytesPerSecond"), qRound64(p.bytesPerSecond)},
            {QStringLiteral("secondsLeft"), qRound64(p.secondsLeft * 10) / 10.0}};
}

QJsonObject resultFields(const SessionMachine &m)
{
    QJsonObject o = identityFields(m.identityBefore());
    if (m.verifying())
        o.insert(QStringLiteral("versionAfter"), orNull(m.identity().version));
    o.insert(QStringLiteral("result"), resultName(m.result()));
    o.insert(QStringLiteral("status"), exitStatus(m.result()));
    o.insert(QStringLiteral("message"), m.message());
    o.insert(QStringLiteral("frames"), m.framesAccepted());
    o.insert(QStringLiteral("totalFrames"), m.framesTotal());
    o.insert(QStringLiteral("resends"), m.resends());
    o.insert(QStringLiteral("endConfirmed"), m.endConfirmed());
    o.insert(QStringLiteral("endReply"), m.endByteSent()
                                             ? QJsonValue(QString::fromLatin1(m.endReply().toHex()))
                                             : QJsonValue(QJsonValue::Null));
    return o;
}

Progress progressOf(const SessionDriver &driver, const RunFacts &facts)
{
    return progressOf(driver.machine(), driver.nowUs(), facts);
}

Progress progressOf(const SessionMachine &m, qint64 nowUs, const RunFacts &facts)
{
    const ProgressFigures f =
        progressFigures(m.framesAccepted(), m.framesTotal(), facts.payloadBytes,
                        nowUs - m.transferStartUs(), facts.baud, facts.paceMs);
    Progress p;
    p.frames = m.framesAccepted();
    p.totalFrames = m.framesTotal();
    p.resends = m.resends();
    p.percent = f.percent;
    p.bytesPerSecond = f.bytesPerSecond;
    p.secondsLeft = f.secondsLeft;
    return p;
}

QString describeIdentity(const DeviceIdentity &id)
{
    if (id.waitingForFirmware)
        return QStringLiteral("waiting for firmware");
    QStringList parts;
    if (id.productReceived)
        parts << QStringLiteral("product %1").arg(id.product);
    if (!id.serialNumber.isEmpty())
        parts << QStringLiteral("serial number %1").arg(id.serialNumber);
    if (!id.version.isEmpty())
        parts << QStringLiteral("firmware version %1").arg(id.version);
    return parts.isEmpty() ? QStringLiteral("no identity") : parts.join(QStringLiteral(", "));
}

QString verdictLine(const SessionDriver &driver)
{
    const SessionMachine &m = driver.machine();
    QString text = QStringLiteral("%1: %2 (%3): %4")
                       .arg(driver.portName(), resultName(m.result()))
                       .arg(exitStatus(m.result()))
                       .arg(m.message());
    if (toldAnything(m.identityBefore()))
        text += QStringLiteral(" [%1]").arg(describeIdentity(m.identityBefore()));
    if (m.verifying() && !m.identity().version.isEmpty())
        text += QStringLiteral(" [now %1]").arg(describeIdentity(m.identity()));
    return text;
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
