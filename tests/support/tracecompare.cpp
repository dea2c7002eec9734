#include "tracecompare.h"
#include "protocol.h"

#include <QStringList>

#include <algorithm>
#include <cstdlib>

namespace {

struct Span
{
    Phase phase;
    int from; // index of its first write
    int to;   // one past its last write
};

Phase phaseAfter(Phase current, const QByteArray &bytes)
{
    Phase next = current;
    if (bytes == QByteArray(1, protocol::EOT))
        next = Phase::End;
    else if (bytes.startsWith(protocol::SOH))
        next = Phase::Frames;
    else if (bytes.startsWith(protocol::updateCommand()))
        next = Phase::UpdateStart;
    return std::max(current, next);
}

QVector<Span> spansOf(const QVector<Write> &writes)
{
    QVector<Span> spans;
    for (int i = 0; i < writes.size(); ++i) {
        if (spans.isEmpty() || spans.last().phase != writes.at(i).phase)
            spans.append({writes.at(i).phase, i, i});
        spans.last().to = i + 1;
    }
    return spans;
}

QString phaseList(const QVector<Span> &spans)
{
    QStringList names;
    for (const Span &s : spans)
        names << phaseName(s.phase);
    return names.join(QStringLiteral(", "));
}

QString ms(qint64 us)
{
    return QString::number(us / 1000.0, 'f', 2) + QStringLiteral(" ms");
}

QString hexByte(char byte)
{
    return QString::fromLatin1(QByteArray(1, byte).toHex());
}

QString describe(const Span &span, int index, const Write &write)
{
    return QStringLiteral("%1, write %2 (%3%4)")
        .arg(phaseName(span.phase))
        .arg(index - span.from + 1)
        .arg(QString::fromLatin1(write.bytes.left(8).toHex(' ')),
             write.bytes.size() > 8 ? QStringLiteral(" ...") : QString());
}

// The first difference in bytes, write boundaries or rates; empty when there is none.
QString contentDifference(const QVector<Write> &a, const QVector<Span> &spansA,
                          const QVector<Write> &b, const QVector<Span> &spansB)
{
    if (spansA.size() != spansB.size() ||
        !std::equal(spansA.begin(), spansA.end(), spansB.begin(),
                    [](const Span &x, const Span &y) { return x.phase == y.phase; }))
        return QStringLiteral("phases differ: %1 against %2")
            .arg(phaseList(spansA), phaseList(spansB));
    for (int k = 0; k < spansA.size(); ++k) {
        const Span &sa = spansA.at(k);
        const Span &sb = spansB.at(k);
        if (sa.to - sa.from != sb.to - sb.from)
            return QStringLiteral("%1: %2 writes against %3")
                .arg(phaseName(sa.phase))
                .arg(sa.to - sa.from)
                .arg(sb.to - sb.from);
        for (int i = 0; i < sa.to - sa.from; ++i) {
            const Write &wa = a.at(sa.from + i);
            const Write &wb = b.at(sb.from + i);
            if (wa.bytes != wb.bytes) {
                const auto [ba, bb] = std::mismatch(wa.bytes.begin(), wa.bytes.end(),
                                                    wb.bytes.begin(), wb.bytes.end());
                return QStringLiteral("%1: byte %2 is %3 against %4")
                    .arg(describe(sa, sa.from + i, wa))
                    .arg(ba - wa.bytes.begin())
                    .arg(ba == wa.bytes.end() ? QStringLiteral("missing") : hexByte(*ba),
                         bb == wb.bytes.end() ? QStringLiteral("missing") : hexByte(*bb));
            }
            const auto [ra, rb] = std::mismatch(wa.bauds.begin(), wa.bauds.end(), wb.bauds.begin());
            if (ra != wa.bauds.end())
                return QStringLiteral("%1: byte %2 at %3 baud against %4")
                    .arg(describe(sa, sa.from + i, wa))
                    .arg(ra - wa.bauds.begin())
                    .arg(*ra)
                    .arg(*rb);
        }
    }
    return QString();
}

// Figures of one phase; `difference` gets the first gap beyond the tolerance.
PhaseFigures timePhase(const QVector<Write> &a, const Span &sa, const QVector<Write> &b,
                       const Span &sb, const Tolerance &tolerance, QString &difference)
{
    PhaseFigures f;
    f.phase = sa.phase;
    f.writes = sa.to - sa.from;
    // The gap before write ia of the first trace against the one before ib of the second.
    const auto gapDiff = [&](int ia, int ib) {
        const qint64 gapA = a.at(ia).atUs - a.at(ia - 1).atUs;
        const qint64 gapB = b.at(ib).atUs - b.at(ib - 1).atUs;
        const qint64 allowedUs = tolerance.forGapUs(std::max(gapA, gapB));
        if (difference.isEmpty() && std::abs(gapA - gapB) > allowedUs)
            difference = QStringLiteral("%1: the gap before it is %2 against %3 (tolerance %4)")
                             .arg(describe(sa, ia, a.at(ia)), ms(gapA), ms(gapB), ms(allowedUs));
        return gapA - gapB;
    };
    if (sa.from > 0 && a.at(sa.from - 1).phase != Phase::Handshake) {
        f.entryCompared = true;
        f.entryGapUs = gapDiff(sa.from, sb.from);
    }
    for (int i = 1; i < f.writes; ++i) {
        const qint64 diffUs = gapDiff(sa.from + i, sb.from + i);
        f.gapDiffsUs.append(diffUs);
        if (std::abs(diffUs) > std::abs(f.worstGapUs))
            f.worstGapUs = diffUs;
    }
    return f;
}

} // namespace

QString phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Handshake:
        return QStringLiteral("handshake");
    case Phase::UpdateStart:
        return QStringLiteral("update start");
    case Phase::Frames:
        return QStringLiteral("frames");
    case Phase::End:
        return QStringLiteral("end");
    }
    return QString();
}

QVector<Write> writesOf(const Trace &trace)
{
    QVector<Write> writes;
    qint64 lastUs = 0;
    for (const DeviceSimulator::Received &chunk : trace) {
        if (chunk.bytes.isEmpty())
            continue;
        if (writes.isEmpty() || chunk.atUs - lastUs >= kSameWriteUs ||
            writes.last().bauds.last() != chunk.baud) {
            Write w;
            w.atUs = chunk.atUs;
            writes.append(w);
        }
        Write &w = writes.last();
        w.bytes += chunk.bytes;
        w.bauds.insert(w.bauds.end(), chunk.bytes.size(), chunk.baud);
        lastUs = chunk.atUs;
    }
    Phase phase = Phase::Handshake;
    for (Write &w : writes) {
        phase = phaseAfter(phase, w.bytes);
        w.phase = phase;
    }
    return writes;
}

TraceComparison compareTraces(const Trace &first, const Trace &second, const Tolerance &tolerance)
{
    const QVector<Write> a = writesOf(first);
    const QVector<Write> b = writesOf(second);
    const QVector<Span> spansA = spansOf(a);
    const QVector<Span> spansB = spansOf(b);
    TraceComparison result;
    result.difference = contentDifference(a, spansA, b, spansB);
    if (!result.difference.isEmpty())
        return result;
    if (a.isEmpty()) {
        result.difference = QStringLiteral("nothing was received");
        return result;
    }
    for (int k = 0; k < spansA.size(); ++k)
        result.phases.append(
            timePhase(a, spansA.at(k), b, spansB.at(k), tolerance, result.difference));
    result.same = result.difference.isEmpty();
    return result;
}
