#include "terminal.h"

#include "record.h"

#include <QDateTime>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace flash {

int terminalWidth()
{
#ifdef Q_OS_UNIX
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
#endif
    return 80;
}

bool stdoutIsTerminal()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDOUT_FILENO) == 1;
#else
    return false;
#endif
}

bool terminalCanRedraw(bool isTerminal, const QByteArray &term)
{
    return isTerminal && !term.isEmpty() && term != "dumb";
}

bool colourWanted(bool isTerminal, const QByteArray &term, const QByteArray &noColour)
{
    return terminalCanRedraw(isTerminal, term) && noColour.isEmpty();
}

bool colourWanted()
{
    return colourWanted(stdoutIsTerminal(), qgetenv("TERM"), qgetenv("NO_COLOR"));
}

void writeOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void writeOut(const QString &text)
{
    writeOut(text.toUtf8());
}

void printError(const QString &text)
{
    const QByteArray bytes = QStringLiteral("pelmar-flash: %1\n").arg(text).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString nowText()
{
    return isoTime(QDateTime::currentDateTimeUtc());
}

void printStamped(const QString &text)
{
    writeOut(nowText() + QLatin1Char(' ') + text + QLatin1Char('\n'));
}

QByteArray Overprint::climb() const
{
    return m_linesDrawn > 0 ? "\x1b[" + QByteArray::number(m_linesDrawn) + 'A' : QByteArray();
}

void Overprint::draw(const QStringList &lines, Lines kind)
{
    const int width = terminalWidth();
    QByteArray out = climb() + "\r\x1b[J";
    int drawn = 0;
    for (const QString &line : lines) {
        out += line.toUtf8() + '\n';
        drawn += kind == Lines::Fit ? 1 : qMax(1, int((line.size() + width - 1) / width));
    }
    m_linesDrawn = drawn;
    writeOut(out);
}

void Overprint::message(const QString &text)
{
    if (m_linesDrawn > 0)
        writeOut(climb() + "\r\x1b[J");
    m_linesDrawn = 0;
    printError(text);
}

} // namespace flash
