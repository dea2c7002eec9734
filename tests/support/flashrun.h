#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>

// Runs the real pelmar-flash as a child process. Waiting keeps the caller's event loop running,
// since simulated devices in the test process answer only from it.
class FlashRun : public QObject
{
    Q_OBJECT

public:
    explicit FlashRun(const QStringList &arguments, QObject *parent = nullptr);

    void setWorkingDirectory(const QString &dir) { m_process.setWorkingDirectory(dir); }
    void start();
    // False when it did not end within the time (it is then killed).
    bool wait(int timeoutMs = 60000);
    bool finish()
    {
        start();
        return wait();
    }
    // Ctrl+C, as a terminal sends it.
    void interrupt();
    void sendSignal(int signal);
    // Runs it under a file-size limit of `blocks` 512-byte blocks (before start()): writes past
    // the limit are cut short as on a full disk.
    void limitFileSize(int blocks) { m_fileSizeBlocks = blocks; }

    qint64 processId() const { return m_process.processId(); }
    int exitCode() const { return m_exitCode; }
    bool crashed() const { return m_crashed; }
    QByteArray out() const { return m_out; }
    QByteArray err() const { return m_err; }
    // Every line of standard output as a JSON object; an unparsable line fails `ok`.
    QList<QJsonObject> jsonLines(bool *ok = nullptr) const;

private:
    QProcess m_process;
    QStringList m_arguments;
    QByteArray m_out;
    QByteArray m_err;
    int m_exitCode = -1;
    bool m_crashed = false;
    bool m_finished = false;
    int m_fileSizeBlocks = 0;
};

// The program under test, as built.
QString flashProgram();
// Lines of a JSON-lines file (the record); an unparsable line fails `ok`.
QList<QJsonObject> readJsonLines(const QString &path, bool *ok = nullptr);
QList<QJsonObject> parseJsonLines(const QByteArray &text, bool *ok = nullptr);
