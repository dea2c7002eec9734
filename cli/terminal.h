#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace flash {

// Standard output as pelmar-flash writes to it: whether it is a terminal that can redraw, its
// width and colour, and the writers every printer and message goes through.

// Columns of standard output's terminal; 80 when it tells none.
int terminalWidth();
bool stdoutIsTerminal();
// Whether a terminal can take the cursor movement of a live display (a dumb one cannot).
bool terminalCanRedraw(bool isTerminal, const QByteArray &term);
// Colour on such a terminal, unless NO_COLOR is set (to anything but "").
bool colourWanted(bool isTerminal, const QByteArray &term, const QByteArray &noColour);
// The same for this process: its standard output, TERM and NO_COLOR.
bool colourWanted();

void writeOut(const QByteArray &bytes); // standard output, flushed
void writeOut(const QString &text);
void printError(const QString &text);   // "pelmar-flash: TEXT" on standard error
QString nowText();                      // the time every printed line starts with
void printStamped(const QString &text); // one plain line, after the time

// Lines drawn in place on a terminal: each draw climbs back over what the last one printed,
// clears below and writes the new lines. A message for standard error goes above them, and the
// caller draws again below.
class Overprint
{
public:
    // Fit: every line is narrower than the terminal (colour codes take no column). MayWrap: a
    // longer line counts as the lines the terminal wraps it to.
    enum class Lines { Fit, MayWrap };
    void draw(const QStringList &lines, Lines kind);
    void message(const QString &text);

private:
    QByteArray climb() const;

    int m_linesDrawn = 0;
};

} // namespace flash
