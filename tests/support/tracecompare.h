#pragma once

#include "devicesim.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

// What a device received, chunk by chunk, as DeviceSimulator::record() keeps it.
using Trace = QList<DeviceSimulator::Received>;

// Parts of one update as the device sees them: everything before the update start, the update
// command, the frames, the end byte. A direct start (device already waiting) has no UpdateStart.
enum class Phase { Handshake, UpdateStart, Frames, End };
QString phaseName(Phase phase);

// One write of a program as it reached the device: chunks that follow each other within
// kSameWriteUs at one rate. The pty may split a write or join its parts; no two writes of an
// update come closer than a 50 ms poll.
constexpr qint64 kSameWriteUs = 5000;
struct Write
{
    qint64 atUs = 0; // its first chunk
    QByteArray bytes;
    QVector<qint32> bauds; // the line rate of each byte
    Phase phase = Phase::Handshake;
};
QVector<Write> writesOf(const Trace &trace);

// How far the gaps between writes of one phase differ, first trace minus second. The entry gap
// runs from the previous phase's last write to this phase's first.
struct PhaseFigures
{
    Phase phase = Phase::Handshake;
    int writes = 0;
    QVector<qint64> gapDiffsUs; // between its writes, in order
    qint64 worstGapUs = 0;      // the one of largest size
    bool entryCompared = false;
    qint64 entryGapUs = 0;
};

// How much a gap may differ between the traces: a fixed part for a late wake-up on either side,
// and a part that grows with the gap for the small overshoot of each wait it is made of.
struct Tolerance
{
    qint64 fixedUs = 0;
    qint64 perMille = 0;
    qint64 forGapUs(qint64 gapUs) const { return fixedUs + gapUs * perMille / 1000; }
};

struct TraceComparison
{
    bool same = false;
    QString difference; // the first difference, in words; empty when same
    QVector<PhaseFigures> phases;
};

// Same bytes in the same writes and phases, the same rate for every byte, and every gap between
// writes within the tolerance of the longer of the two: within each phase, and into each phase
// except the one after the handshake (the user's gap between Connect and Update).
TraceComparison compareTraces(const Trace &first, const Trace &second, const Tolerance &tolerance);
