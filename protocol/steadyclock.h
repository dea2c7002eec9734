#pragma once

#include <QtGlobal>

// The monotonic time the exchange's waits are measured on: the system's steady clock, unless a
// test has put in a virtual one. Such a test also runs Qt's timers on that time (its own event
// dispatcher), so a wait, the timer that ends it and the simulated device's clock stay in step.
namespace steadyclock {

class Source
{
public:
    virtual ~Source() = default;
    virtual qint64 nowNs() const = 0;
};

// Nanoseconds from an arbitrary start, never going back.
qint64 nowNs();
// True while a virtual source is in: its timers fire exactly when due, never a millisecond late.
bool isVirtual();
// Puts `source` in; nullptr returns to the steady clock. Not owned.
void install(const Source *source);

} // namespace steadyclock
