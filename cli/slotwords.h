#pragma once

#include "attemptnotes.h"
#include "slot.h"

#include <QString>

namespace flash {

// A slot's state as the board shows it: "empty", "43 % 12 s left", "restarting — leave in",
// "PASS SN0001 1.1", "FAIL <reason>", "cannot open: <why>", "same port as slot 2"...
QString slotStateText(const SlotController &slot, qint64 nowUs, const RunFacts &facts);

// The state as a JSON word: empty, identifying, updating, restarting, pass, skip, fail, inUse,
// samePort, cannotOpen, removeDevice, and in a job waitingForPlace, alreadyDone, jobComplete.
QString slotStateJsonWord(SlotState state);

// The terminal colour of a state's text: PASS green, FAIL red, SKIP and "remove device" yellow,
// a port problem magenta, a running attempt cyan; empty for an empty slot.
const char *slotStateColour(SlotState state);

} // namespace flash
