#include "steadyclock.h"

#include <QElapsedTimer>

namespace {

const steadyclock::Source *g_source = nullptr;

qint64 systemNowNs()
{
    static const QElapsedTimer start = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return start.nsecsElapsed();
}

} // namespace

namespace steadyclock {

qint64 nowNs()
{
    return g_source ? g_source->nowNs() : systemNowNs();
}

bool isVirtual()
{
    return g_source != nullptr;
}

void install(const Source *source)
{
    g_source = source;
}

} // namespace steadyclock
