#pragma once

#include "protocol.h"
#include "replies.h"

#include <QtGlobal>

// Where a transfer stands: the image offset of the block in flight, its number on the line and
// how many unclear answers it got in a row.
struct TransferCursor
{
    qsizetype offset = protocol::kNameFieldSize;
    quint8 block = 1;
    int unclearInRow = 0;
};

enum class FrameStep {
    Next,    // accepted; the next block goes out
    AllSent, // accepted, and it was the last block
    Resend,  // unclear; the same block goes out again under the same number
    Refused, // refused, or unclear too many times in a row
};

// Applies the device's answer to the frame in flight. Only an ACK advances (the block number wraps
// from 255 to 0 as the device counts); an unclear answer resends the same block so that no data is
// skipped, and a device that keeps answering unclearly is taken to refuse it.
FrameStep applyFrameVerdict(TransferCursor &cursor, FrameVerdict verdict, qsizetype imageSize);

// Frames the device has accepted so far.
int framesAccepted(const TransferCursor &cursor);
