#pragma once

// Every wait and threshold of the exchange with the device, in one place. The device firmware was
// written against exactly these windows, so the window and the line program share them and
// neither may change one on its own.
namespace timing {

// Connection handshake
constexpr int kAfterFunction41Ms = 2000;    // the device is given 2 s to enter its console
constexpr int kAfterShortQueryMs = 30;      // the 9600 identity reply is judged 30 ms after "info"
constexpr int kAfterFastBaudMs = 300;       // lets the adapter settle at 115200 before CAN
constexpr int kAfterCancelMs = 3000;        // whatever CAN stirs up in these 3 s is stale
constexpr int kCancelPollMs = 50;           // a waiting bootloader's NAK is looked for every 50 ms
constexpr int kCancelPolls = 80;            // ... for 4 s: it sends one NAK a second
constexpr int kAfterReturnTo115200Ms = 500; // the device switches back after the 9600 frame
constexpr int kAfterInfoQueryMs = 200;      // between the two info queries, and after the second
constexpr int kFastAttemptsAfterAbort = 20; // after an aborted transfer the device is given many
                                            // attempts to come back

// Replies
constexpr int kGatherMs = 30;            // a reply may come in pieces; 30 ms joins them
constexpr int kLongAnswerMinBytes = 11;  // an answer to a query is more than 10 bytes
constexpr int kIdentityTextMinChars = 7; // "\r\n" alone is 2; any found field makes it 7 or more

// Update start
constexpr int kReadyPollMs = 50;           // looking for the bootloader's request byte
constexpr int kReadyPolls = 80;            // ... for 4 s, then the command is sent anyway
constexpr int kAfterUpdateCommandMs = 300; // the device answers "updata" within 300 ms

// Transfer
constexpr int kReplyPollMs = 50; // a frame's answer is looked for every 50 ms
constexpr int kReplyPolls = 92;  // ... for 4.6 s, then the device counts as gone
constexpr int kReplyTimeoutMs = kReplyPolls * kReplyPollMs; // the 4.6 s at any pace
constexpr int kMaxUnclearReplies = 10; // a device that keeps answering neither ACK nor NAK refuses
constexpr int kBeforeEotMs = 1000;     // the device writes its last block to flash first
constexpr int kAfterEotMs = 200;       // its confirmation comes within 200 ms of EOT

// Verification after an update (line program): the device restarts into its new firmware
constexpr int kRestartSettleMs = 1000;    // the port is left closed while the device boots
constexpr int kRestartDeadlineMs = 30000; // no identity within 30 s of the end: not verified
constexpr int kReopenRetryMs = 500;       // a USB adapter may vanish during the restart

// Station slots (line program): devices come and go while it runs
constexpr int kSlotPathPollMs = 150;      // one stat() a slot: a new port is seen within 0.5 s, and
                                          // udev or /dev/serial/ need not exist
constexpr int kDepartureProbeGapMs = 500; // between departure probes: a unit that stays is asked
                                          // at 9600 (2.03 s) about every 2.5 s
// A seated unit has left when the probe of each kind (the 9600 identity handshake, the 115200
// cancel byte and query) went unanswered this often in a row: one lost reply is no removal, and
// a unit may speak at one rate only or wait for firmware (heard only at 115200) ...
constexpr int kDepartureProbesPerKind = 2;
// ... and no byte came for longer than a restart may take: a power blip, or a unit booting, keeps
// its visit. Removal to slot ready is then 27 s to 32 s: the silence since the unit's last byte,
// and the short 9600 probe in which it passes 30 s.
constexpr int kDepartureSilenceMs = kRestartDeadlineMs;
constexpr int kSlotRetryMs = 1000; // a port in use by another program, or that does not open,
                                   // is tried again this often

// USB adapters (both programs): an FTDI chip holds the device's answer up to its latency timer
// (16 ms by default) before handing it on; with the 30 ms gathering a frame's answer then misses
// its 50 ms poll, and --pace 0 waits for it
constexpr int kAdapterLatencyMs = 1; // the timer while a port is open: answers arrive at once

// A port of the line program, opened under its lock (flash/lockedport.*)
constexpr int kDrainLimitMs = 2000; // queued bytes get this long to leave before a released port
                                    // closes: a frame takes 138 ms at 9600, so this only trips on
                                    // a line that no longer drains at all
constexpr int kLockWatchMs = 50;    // a lock held while the port is closed (a restart) is looked at
                                    // this often: a device that re-enumerates must find its old
                                    // number free again, well before it is back

// Progress display
constexpr int kProgressExtraSteps = 11;   // bar maximum: frames of the image + 11
constexpr int kNameFieldOnlyMaximum = 10; // bar maximum for an image without payload

// The record file (line program): its lock, write and flush run in a thread of their own, so a
// held lock or a slow disk never stops the frames
constexpr int kRecordLockRetryMs = 100;   // a held lock is tried again this often: another station
                                          // holds it for one write and flush (milliseconds)
constexpr int kRecordWaitNoticeMs = 1000; // a line not written after 1 s is said to wait: a local
                                          // write and flush take milliseconds
constexpr int kRecordStallMs = 30000;   // a line waiting this long stops a station taking devices,
                                        // as a failed write does: the record no longer keeps up
constexpr int kRecordStopWaitMs = 5000; // at the end, lines still queued get this long, then go to
                                        // standard error: a queue behind a short-held lock or a
                                        // slow flush drains, and Ctrl+C still ends promptly
constexpr int kRecordThreadEndMs = 500; // then the writer's thread ends at once, unless a flush
                                        // holds it: that is left to the process's exit

// Jobs (line program): the image is pinned at the start; its file is looked at with one stat()
// this often, and read again only when the stat changed (and held still for one more look, so
// that a copy in progress is not judged half-written)
constexpr int kImageWatchMs = 1000; // an operator reads the board in seconds; a stat is cheap

} // namespace timing
