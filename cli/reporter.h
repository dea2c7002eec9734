#pragma once

#include "session.h"

#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <QVector>

namespace flash {

class SessionDriver;

// Tells the user what every device is doing. On a terminal each device has one line that is
// redrawn in place; otherwise plain time-stamped lines are printed; with --json one JSON object
// per event and nothing else goes to standard output. Each device ends with one verdict line.
class Reporter : public QObject
{
    Q_OBJECT

public:
    enum class Style { Live, Plain, Json };

    Reporter(Style style, qint32 baud, int paceMs, qint64 payloadBytes, QObject *parent = nullptr);

    // Sessions in command-line order.
    void add(SessionDriver *driver);
    void noted(SessionDriver *driver, Note note);
    void finished(SessionDriver *driver);
    void runFinished(int status, bool interrupted);

    // The identity as one line of text.
    static QString describeIdentity(const DeviceIdentity &id);

private:
    struct Row
    {
        SessionDriver *driver = nullptr;
        int lastPercentShown = -1;
        qint64 lastProgressUs = -1;
    };

    Row *rowOf(SessionDriver *driver);
    void print(const QByteArray &text);
    void plain(const SessionDriver *driver, const QString &text);
    void json(const QString &event, const SessionDriver *driver, QJsonObject fields);
    QJsonObject identityFields(const DeviceIdentity &id) const;
    QJsonObject progressFields(const SessionDriver *driver) const;
    QString progressText(const SessionDriver *driver) const;
    QString liveText(const SessionDriver *driver) const;
    QString verdictText(const SessionDriver *driver) const;
    void redraw();

    Style m_style;
    qint32 m_baud;
    int m_paceMs;
    qint64 m_payloadBytes;
    QVector<Row> m_rows;
    QTimer m_redraw;
    int m_linesDrawn = 0;
};

} // namespace flash
