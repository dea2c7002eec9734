#include "attemptnotes.h"

#include "progress.h"
#include "record.h"
#include "terminal.h"

#include <QJsonDocument>

namespace flash {

namespace {

QString duration(double seconds)
{
    const qint64 s = qint64(seconds + 0.5);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString rate(double bytesPerSecond)
{
    return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
}

// A device that named only its version still told which firmware answered.
bool toldAnything(const DeviceIdentity &id)
{
    return id.productReceived || id.waitingForFirmware || !id.version.isEmpty();
}

struct ActivityWord
{
    SessionMachine::Activity activity;
    const char *word;
};

constexpr ActivityWord kActivityWords[] = {
    {SessionMachine::Activity::Opening, "opening"},
    {SessionMachine::Activity::Connecting, "connecting"},
    {SessionMachine::Activity::WaitingToStart, "waiting to start"},
    {SessionMachine::Activity::Starting, "starting the update"},
    {SessionMachine::Activity::Sending, "sending"},
    {SessionMachine::Activity::Ending, "ending"},
    {SessionMachine::Activity::Reconnecting, "reconnecting"},
    {SessionMachine::Activity::WaitingForRestart, "waiting for the restart"},
    {SessionMachine::Activity::Verifying, "verifying"},
};

} // namespace

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

QString activityText(const SessionMachine &m)
{
    for (const ActivityWord &w : kActivityWords) {
        if (w.activity == m.activity())
            return QString::fromLatin1(w.word);
    }
    return resultName(m.result());
}

QString verdictLine(const QString &name, const SessionMachine &m)
{
    QString text = QStringLiteral("%1: %2 (%3): %4")
                       .arg(name, resultName(m.result()))
                       .arg(exitStatus(m.result()))
                       .arg(m.message());
    if (toldAnything(m.identityBefore()))
        text += QStringLiteral(" [%1]").arg(describeIdentity(m.identityBefore()));
    if (m.verifying() && !m.identity().version.isEmpty())
        text += QStringLiteral(" [now %1]").arg(describeIdentity(m.identity()));
    return text;
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

QJsonObject resultFields(const SessionMachine &m, qint64 durationMs)
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
    o.insert(QStringLiteral("durationMs"), durationMs);
    return o;
}

void writeEvent(const QString &name, QJsonObject fields, const QString &port, EventSource source)
{
    fields.insert(QStringLiteral("event"), name);
    fields.insert(QStringLiteral("time"), nowText());
    if (!port.isEmpty())
        fields.insert(QStringLiteral("port"), port);
    if (!port.isEmpty() && source == EventSource::Slot)
        fields.insert(QStringLiteral("slot"), port);
    writeOut(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

QString PlainNotes::line(Note note, const SessionMachine &m, qint64 nowUs)
{
    switch (note) {
    case Note::Connected:
        return QStringLiteral("connected: %1").arg(describeIdentity(m.identity()));
    case Note::TransferStarted:
        return QStringLiteral("transfer started: %1 frames, %2 bytes")
            .arg(m.framesTotal())
            .arg(m_facts.payloadBytes);
    case Note::FrameAccepted: {
        const Progress p = progressOf(m, nowUs, m_facts);
        const int step = p.percent / kPlainStepPercent * kPlainStepPercent;
        if (step <= m_step)
            return QString();
        m_step = step;
        return m_detail == Detail::Full ? progressText(p)
                                        : QStringLiteral("%1% %2/%3 frames")
                                              .arg(p.percent)
                                              .arg(p.frames)
                                              .arg(p.totalFrames);
    }
    case Note::Ending:
        return QStringLiteral("every frame accepted; ending");
    case Note::Restarting:
        return QStringLiteral("end confirmed; waiting for the device to restart");
    }
    return QString();
}

bool JsonNotes::event(Note note, const SessionMachine &m, qint64 nowUs, QString *name,
                      QJsonObject *fields)
{
    *fields = QJsonObject();
    switch (note) {
    case Note::Connected:
        *name = QStringLiteral("connected");
        *fields = identityFields(m.identity());
        return true;
    case Note::TransferStarted:
        m_lastProgressUs = -1;
        *name = QStringLiteral("transferStarted");
        *fields = {{QStringLiteral("totalFrames"), m.framesTotal()},
                   {QStringLiteral("bytes"), m_facts.payloadBytes}};
        return true;
    case Note::FrameAccepted: {
        const Progress p = progressOf(m, nowUs, m_facts);
        if (p.frames != p.totalFrames && m_lastProgressUs >= 0 &&
            nowUs - m_lastProgressUs < kProgressEventUs)
            return false;
        m_lastProgressUs = nowUs;
        *name = QStringLiteral("progress");
        *fields = progressFields(p);
        return true;
    }
    case Note::Ending:
        *name = QStringLiteral("ending");
        return true;
    case Note::Restarting:
        *name = QStringLiteral("restarting");
        return true;
    }
    return false;
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

} // namespace flash
