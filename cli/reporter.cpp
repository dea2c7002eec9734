#include "reporter.h"

#include "progress.h"
#include "record.h"
#include "sessiondriver.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace flash {

namespace {

// A live line is redrawn at most five times a second; JSON progress events keep the same pace.
constexpr int kRedrawMs = 200;
constexpr qint64 kProgressEventUs = kRedrawMs * 1000;
// Plain lines report the transfer in steps of this many percent.
constexpr int kPlainStepPercent = 10;
constexpr int kBarWidth = 20;

int terminalWidth()
{
#ifdef Q_OS_UNIX
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
#endif
    return 80;
}

QString duration(double seconds)
{
    const qint64 s = qint64(seconds + 0.5);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString rate(double bytesPerSecond)
{
    return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
}

} // namespace

Reporter::Reporter(Style style, qint32 baud, int paceMs, qint64 payloadBytes, QObject *parent)
    : QObject(parent), m_style(style), m_baud(baud), m_paceMs(paceMs), m_payloadBytes(payloadBytes)
{
    m_redraw.setInterval(kRedrawMs);
    // Redrawn on every tick: the state text moves on without notes too (connecting, ending).
    connect(&m_redraw, &QTimer::timeout, this, &Reporter::redraw);
}

void Reporter::add(SessionDriver *driver)
{
    m_rows.append(Row{driver, -1, -1});
    if (m_style == Style::Live) {
        m_redraw.start();
    } else if (m_style == Style::Plain) {
        plain(driver, QStringLiteral("connecting at %1 baud").arg(m_baud));
    } else {
        QJsonObject fields;
        fields.insert(QStringLiteral("baud"), m_baud);
        json(QStringLiteral("connecting"), driver, fields);
    }
}

Reporter::Row *Reporter::rowOf(SessionDriver *driver)
{
    for (Row &row : m_rows) {
        if (row.driver == driver)
            return &row;
    }
    return nullptr;
}

void Reporter::print(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

void Reporter::plain(const SessionDriver *driver, const QString &text)
{
    print((isoTime(QDateTime::currentDateTimeUtc()) + QLatin1Char(' ') + driver->portName() +
           QStringLiteral(": ") + text + QLatin1Char('\n'))
              .toUtf8());
}

void Reporter::json(const QString &event, const SessionDriver *driver, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("time"), isoTime(QDateTime::currentDateTimeUtc()));
    if (driver)
        fields.insert(QStringLiteral("port"), driver->portName());
    print(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

QString Reporter::describeIdentity(const DeviceIdentity &id)
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

QJsonObject Reporter::identityFields(const DeviceIdentity &id) const
{
    const auto orNull = [](const QString &s) {
        return s.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(s);
    };
    QJsonObject o;
    o.insert(QStringLiteral("product"),
             id.productReceived ? QJsonValue(id.product) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("serialNumber"), orNull(id.serialNumber));
    o.insert(QStringLiteral("version"), orNull(id.version));
    o.insert(QStringLiteral("waitingForFirmware"), id.waitingForFirmware);
    return o;
}

QJsonObject Reporter::progressFields(const SessionDriver *driver) const
{
    const SessionMachine &m = driver->machine();
    const ProgressFigures f =
        progressFigures(m.framesAccepted(), m.framesTotal(), m_payloadBytes,
                        driver->nowUs() - m.transferStartUs(), m_baud, m_paceMs);
    QJsonObject o;
    o.insert(QStringLiteral("frames"), m.framesAccepted());
    o.insert(QStringLiteral("totalFrames"), m.framesTotal());
    o.insert(QStringLiteral("resends"), m.resends());
    o.insert(QStringLiteral("percent"), f.percent);
    o.insert(QStringLiteral("bytesPerSecond"), qRound64(f.bytesPerSecond));
    o.insert(QStringLiteral("secondsLeft"), qRound64(f.secondsLeft * 10) / 10.0);
    return o;
}

QString Reporter::progressText(const SessionDriver *driver) const
{
    const SessionMachine &m = driver->machine();
    const ProgressFigures f =
        progressFigures(m.framesAccepted(), m.framesTotal(), m_payloadBytes,
                        driver->nowUs() - m.transferStartUs(), m_baud, m_paceMs);
    QString text = QStringLiteral("%1% %2/%3 frames, %4, %5 left")
                       .arg(f.percent, 3)
                       .arg(m.framesAccepted())
                       .arg(m.framesTotal())
                       .arg(rate(f.bytesPerSecond), duration(f.secondsLeft));
    if (m.resends() > 0)
        text += QStringLiteral(", %1 resent").arg(m.resends());
    return text;
}

QString Reporter::liveText(const SessionDriver *driver) const
{
    const SessionMachine &m = driver->machine();
    if (driver->isFinished() || m.finished())
        return verdictText(driver);
    QString text = driver->portName() + QStringLiteral("  ");
    if (m.transferStartUs() >= 0 && !m.verifying() && m.stateText() == QLatin1String("sending")) {
        const int filled =
            m.framesTotal() > 0 ? m.framesAccepted() * kBarWidth / m.framesTotal() : kBarWidth;
        text += QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                QString(kBarWidth - filled, QLatin1Char('.')) + QStringLiteral("] ") +
                progressText(driver);
    } else {
        text += m.stateText();
    }
    return text;
}

QString Reporter::verdictText(const SessionDriver *driver) const
{
    const SessionMachine &m = driver->machine();
    QString text = QStringLiteral("%1: %2 (%3): %4")
                       .arg(driver->portName(), resultName(m.result()))
                       .arg(exitStatus(m.result()))
                       .arg(m.message());
    const DeviceIdentity &before = m.identityBefore();
    if (before.productReceived || before.waitingForFirmware || !before.version.isEmpty())
        text += QStringLiteral(" [%1]").arg(describeIdentity(before));
    if (m.verifying() && !m.identity().version.isEmpty())
        text += QStringLiteral(" [now %1]").arg(describeIdentity(m.identity()));
    return text;
}

void Reporter::noted(SessionDriver *driver, Note note)
{
    Row *row = rowOf(driver);
    if (!row)
        return;
    const SessionMachine &m = driver->machine();
    if (m_style == Style::Live)
        return;
    if (m_style == Style::Plain) {
        switch (note) {
        case Note::Connected:
            plain(driver, QStringLiteral("connected: %1").arg(describeIdentity(m.identity())));
            break;
        case Note::TransferStarted:
            plain(driver, QStringLiteral("transfer started: %1 frames, %2 bytes")
                              .arg(m.framesTotal())
                              .arg(m_payloadBytes));
            break;
        case Note::FrameAccepted: {
            const int percent =
                m.framesTotal() > 0 ? m.framesAccepted() * 100 / m.framesTotal() : 100;
            const int step = percent / kPlainStepPercent * kPlainStepPercent;
            if (step > row->lastPercentShown) {
                row->lastPercentShown = step;
                plain(driver, progressText(driver));
            }
            break;
        }
        case Note::Ending:
            plain(driver, QStringLiteral("every frame accepted; ending"));
            break;
        case Note::Restarting:
            plain(driver, QStringLiteral("end confirmed; waiting for the device to restart"));
            break;
        }
        return;
    }
    switch (note) {
    case Note::Connected:
        json(QStringLiteral("connected"), driver, identityFields(m.identity()));
        break;
    case Note::TransferStarted: {
        QJsonObject o;
        o.insert(QStringLiteral("totalFrames"), m.framesTotal());
        o.insert(QStringLiteral("bytes"), m_payloadBytes);
        json(QStringLiteral("transferStarted"), driver, o);
        break;
    }
    case Note::FrameAccepted: {
        const qint64 now = driver->nowUs();
        const bool last = m.framesAccepted() == m.framesTotal();
        if (last || row->lastProgressUs < 0 || now - row->lastProgressUs >= kProgressEventUs) {
            row->lastProgressUs = now;
            json(QStringLiteral("progress"), driver, progressFields(driver));
        }
        break;
    }
    case Note::Ending:
        json(QStringLiteral("ending"), driver, QJsonObject());
        break;
    case Note::Restarting:
        json(QStringLiteral("restarting"), driver, QJsonObject());
        break;
    }
}

void Reporter::finished(SessionDriver *driver)
{
    const SessionMachine &m = driver->machine();
    if (m_style == Style::Live) {
        redraw();
        return;
    }
    if (m_style == Style::Plain) {
        plain(driver,
              QStringLiteral("%1 (%2): %3")
                      .arg(resultName(m.result()))
                      .arg(exitStatus(m.result()))
                      .arg(m.message()) +
                  (m.identityBefore().productReceived || m.identityBefore().waitingForFirmware
                       ? QStringLiteral(" [%1]").arg(describeIdentity(m.identityBefore()))
                       : QString()));
        return;
    }
    QJsonObject o = identityFields(m.identityBefore());
    if (m.verifying())
        o.insert(QStringLiteral("versionAfter"), m.identity().version.isEmpty()
                                                     ? QJsonValue(QJsonValue::Null)
                                                     : QJsonValue(m.identity().version));
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
    o.insert(QStringLiteral("durationMs"), driver->durationMs());
    json(QStringLiteral("result"), driver, o);
}

void Reporter::runFinished(int status, bool interrupted)
{
    int succeeded = 0;
    for (const Row &row : qAsConst(m_rows)) {
        if (row.driver->machine().result() == Result::Success)
            ++succeeded;
    }
    if (m_style == Style::Live) {
        m_redraw.stop();
        redraw();
        return;
    }
    if (m_style == Style::Plain) {
        print((isoTime(QDateTime::currentDateTimeUtc()) +
               QStringLiteral(" finished: %1 of %2 devices succeeded%3; exit status %4\n")
                   .arg(succeeded)
                   .arg(m_rows.size())
                   .arg(interrupted ? QStringLiteral(", cancelled") : QString())
                   .arg(status))
                  .toUtf8());
        return;
    }
    QJsonObject o;
    o.insert(QStringLiteral("status"), status);
    o.insert(QStringLiteral("devices"), m_rows.size());
    o.insert(QStringLiteral("succeeded"), succeeded);
    o.insert(QStringLiteral("interrupted"), interrupted);
    json(QStringLiteral("finished"), nullptr, o);
}

void Reporter::redraw()
{
    const int width = terminalWidth();
    QByteArray out;
    // Back to the first device's line, clear everything below and write the lines again.
    if (m_linesDrawn > 0)
        out += "\x1b[" + QByteArray::number(m_linesDrawn) + 'A';
    out += "\r\x1b[J";
    int lines = 0;
    for (const Row &row : qAsConst(m_rows)) {
        // Verdicts are shown whole; a long one wraps, and the next redraw climbs over it.
        const QString text = liveText(row.driver);
        out += text.toUtf8() + '\n';
        lines += qMax(1, int((text.size() + width - 1) / width));
    }
    m_linesDrawn = lines;
    print(out);
}

} // namespace flash
