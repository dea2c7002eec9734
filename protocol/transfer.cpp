#include "transfer.h"
#include "timing.h"

FrameStep applyFrameVerdict(TransferCursor &cursor, FrameVerdict verdict, qsizetype imageSize)
{
    switch (verdict) {
    case FrameVerdict::Accepted:
        cursor.offset += protocol::kBlockSize;
        ++cursor.block;
        cursor.unclearInRow = 0;
        return cursor.offset < imageSize ? FrameStep::Next : FrameStep::AllSent;
    case FrameVerdict::Refused:
        return FrameStep::Refused;
    case FrameVerdict::Unclear:
        break;
    }
    ++cursor.unclearInRow;
    return cursor.unclearInRow >= timing::kMaxUnclearReplies ? FrameStep::Refused
                                                             : FrameStep::Resend;
}

int framesAccepted(const TransferCursor &cursor)
{
    return static_cast<int>((cursor.offset - protocol::kNameFieldSize) / protocol::kBlockSize);
}
