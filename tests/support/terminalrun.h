#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>

class QSocketNotifier;

// Runs the real pelmar-flash with its standard output on a pseudo-terminal of `columns` columns
// and the given TERM, as an operator's terminal: the live display and the station's board show
// there. Waiting keeps the caller's event loop running for simulated devices in the test.
class TerminalRun : public QObject
{
    Q_OBJECT

public:
    TerminalRun(const QStringList &arguments, int columns, const QByteArray &term,
                QObject *parent = nullptr);
    ~TerminalRun() override;

    void setWorkingDirectory(const QString &dir) { m_workingDirectory = dir; }
    bool start();
    // False when it did not end within the time (it is then killed).
    bool wait(int timeoutMs = 60000);

    int exitCode() const { return m_exitCode; }
    // Everything written to the terminal, line ends as the program wrote them.
    QByteArray out() const { return m_out; }
    // What the last redraw left on the screen: the text after the last "clear to the end".
    QByteArray lastFrame() const;

private:
    void readMaster();
    bool reap(bool block);

    QStringList m_arguments;
    int m_columns;
    QByteArray m_term;
    QString m_workingDirectory;
    int m_master = -1;
    qint64 m_pid = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_out;
    int m_exitCode = -1;
};
