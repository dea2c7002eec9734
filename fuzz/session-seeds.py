#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_session: the device behaviours the session is known to meet.

    fuzz/session-seeds.py [DIR]    default: fuzz/corpus/session

The input layout is described in fuzz_session.cpp; the names below follow it.
"""
import os
import sys

# Header byte 0: configuration.
SLOW = 0x01  # 9600 instead of 115200
PACE_0, PACE_7, PACE_4600 = 0x02, 0x04, 0x06  # instead of the default 50 ms
VERIFY = 0x08
ATTEMPTS_2, ATTEMPTS_3, ATTEMPTS_20 = 0x10, 0x20, 0x30
IDENTIFY = 0x40
SKIP_V1 = 0x80
# Header byte 1: the image.
IMAGE_OTHER, IMAGE_NUL_PADDED, IMAGE_16 = 1, 2, 3
EXPECT_V2 = 0x04
WATCH = 0x08  # the station's watch of the restart (without VERIFY)
GATE = 0x10  # a job's gate after the handshake; answered with proceed unless:
GATE_SKIP, GATE_REFUSE = 0x20, 0x40
GATE_LONG = 0x80  # answered after 90 s instead of at once
# Header byte 5: the honest device.
WAITING = 0x01
NO_UPDATE_ANSWER = 0x02
NO_END_ANSWER = 0x04
DEV_OTHER, DEV_UNNAMED, DEV_16 = 0x08, 0x10, 0x18
WAITING_AFTER_RESTART = 0x20
AFTER_V2, AFTER_SN2, AFTER_V1_SPACE = 0x40, 0x80, 0xC0

# Operations, one per open or write the device sees.
def PASS(n):  # honest for this and the next n events
    return [0, n]

SILENT = [1]

def REPLACE(data, delay):
    return [2, len(data)] + list(data) + [delay]

def SPLIT(pieces, gap):
    return [3, pieces - 2, gap]

def DELAY(delay):
    return [4, delay]

def EXTRA(data, delay):
    return [5, len(data) - 1] + list(data) + [delay]

def CANCEL(delay):
    return [6, delay]

def PORT_ERROR(delay):
    return [7, delay]

FAIL_OPEN = [8]
ACK, NAK, ACK_ACK, ACK_NAK, NAK_ACK, NAK_NAK, ACK_CRLF, C, CAN, EOT, NUL = range(11)
LONG_TEXT, ID_PM100, ID_XY9, NAME_ONLY, TEN_BYTES = range(11, 16)

def CANNED(which, delay):
    return [9, which, delay]

def TWICE(delay):
    return [10, delay]

def CHATTER(n, gap, byte):
    return [11, n - 1, gap - 1, byte]


def header(config=0, image=0, size=60, extra=0, fill=7, device=0, answer=1, reply=5, cancel=30):
    """size * 5 payload bytes (255: 255 frames and more); answer * 17 ms; cancel: 50 + 15 * n ms."""
    return [config, image, size, extra, fill, device, answer, reply, cancel]


# Events at 115200 with a device that does not wait: open, CAN, 0x41 frame, info, info, update
# command, then the frames: frame k is event 6 + k. PASS(5 + k) answers frame k honestly.
SEEDS = {
    "good-115200": header(),
    "good-9600": header(SLOW),
    "good-pace0-verify": header(PACE_0 | VERIFY, EXPECT_V2, device=AFTER_V2),
    "good-pace7": header(PACE_7, size=40, answer=3),
    "good-pace4600": header(PACE_4600, size=30, answer=200),
    "waiting-device": header(device=WAITING, cancel=40),
    "waiting-device-9600": header(SLOW, device=WAITING),
    "wrap-257-frames": header(size=255, extra=60),
    "name-field-only": header(size=0),
    "identify": header(IDENTIFY),
    "skip-same-version": header(SKIP_V1),
    "wrong-product": header(image=IMAGE_OTHER),
    "nul-padded-name": header(image=IMAGE_NUL_PADDED),
    "unnamed-device": header(device=DEV_UNNAMED),
    "16-char-name": header(image=IMAGE_16, device=DEV_16),
    "update-unanswered-9600": header(SLOW, device=NO_UPDATE_ANSWER),
    "end-unconfirmed": header(device=NO_END_ANSWER),
    "refusal": header() + PASS(6) + CANNED(NAK, 12),
    "unclear-then-ack": header() + PASS(6) + CANNED(ACK_ACK, 12) * 3 + CANNED(ACK_CRLF, 20),
    "unclear-ten-times": header(PACE_0) + PASS(6) + CANNED(ACK_CRLF, 12) * 10,
    "silence-mid-transfer": header() + PASS(7) + SILENT,
    "late-answer": header() + PASS(7) + DELAY(220),
    "port-error-mid-transfer": header() + PASS(6) + PORT_ERROR(5),
    "cancel-mid-transfer": header() + PASS(6) + CANCEL(5),
    "cancel-after-end-byte": header(size=20) + PASS(6) + CANCEL(10),
    "open-fails": header() + FAIL_OPEN,
    # 3 frames: the end byte is event 10, the reopen after the restart event 11.
    "restart-verify-reopen-fails": header(VERIFY, EXPECT_V2, device=AFTER_V2)
    + PASS(9) + FAIL_OPEN + FAIL_OPEN,
    "restart-verify-port-error": header(VERIFY, device=AFTER_V2) + PASS(10) + PORT_ERROR(100),
    "restart-other-serial": header(VERIFY, device=AFTER_SN2),
    "restart-still-waiting": header(VERIFY, device=WAITING_AFTER_RESTART),
    "restart-version-space": header(VERIFY | SKIP_V1, device=AFTER_V1_SPACE | WAITING),
    "watch-good": header(image=WATCH, device=AFTER_V2),
    "watch-other-serial": header(SLOW, WATCH, device=AFTER_SN2),
    "watch-still-waiting-9600": header(SLOW, WATCH, device=WAITING_AFTER_RESTART),
    "watch-reopen-fails": header(image=WATCH, device=AFTER_V2) + PASS(9) + FAIL_OPEN * 3,
    "split-identity": header() + PASS(2) + SPLIT(4, 10) + SPLIT(3, 40),
    "split-ack": header(PACE_0) + PASS(6) + SPLIT(2, 0) + REPLACE(b"\x06", 3),
    "twice-answers": header() + PASS(4) + TWICE(15) + TWICE(40),
    "chatter-in-frames": header() + PASS(6) + CHATTER(20, 7, 0x06),
    "noise-after-cancel-byte": header(device=WAITING) + PASS(0) + EXTRA(b"\x15\x15", 100),
    "second-attempt": header(ATTEMPTS_3) + PASS(1) + SILENT * 3,
    # At 9600 a bootloader's NAK before the update command does not spare the command.
    "nak-before-update-9600": header(SLOW) + PASS(1) + EXTRA(b"\x15", 40),
    "nak-answers-update-9600": header(SLOW) + PASS(2) + REPLACE(b"\x15", 20),
    "stale-answer-to-update": header() + PASS(4) + SILENT,
    "bootloader-names-other": header(device=WAITING) + PASS(0) + EXTRA(b"\r\nPRODUCT:XY-9\r\n", 100),
    "identity-replaced": header() + PASS(2) + CANNED(ID_XY9, 20) * 2,
    "gate-proceed": header(image=GATE),
    "gate-held-waiting-device": header(image=GATE | GATE_LONG, device=WAITING),
    "gate-held-9600-chatter": header(SLOW, GATE | GATE_LONG) + PASS(1) + CHATTER(30, 90, 0x15),
    "gate-skip": header(image=GATE | GATE_SKIP),
    "gate-refuse": header(SLOW, GATE | GATE_REFUSE),
    # Delays of 200 and more count in steps of 100 ms from 200: 248 is 5 s, 228 is 3 s.
    "gate-held-cancelled": header(image=GATE | GATE_LONG) + PASS(3) + CANCEL(248),
    "gate-held-port-error": header(SLOW, GATE | GATE_LONG) + PASS(1) + PORT_ERROR(228),
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__),
                                                             "corpus", "session")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(bytes(data))


if __name__ == "__main__":
    main()
