#pragma once

#include <QByteArray>
#include <QDateTime>

// Two stations' records for the plant's and the page's tests, from six o'clock on: east writes
// ids, its station, a job and its quantity; its port E1 fails the first attempt of nearly every
// device (flagged). West is an older program without ids (naming its station where asked); one of
// its lines comes again, re-serialised by another tool. 19 attempts; first pass: E-2, W-0, W-1,
// W-3.
QByteArray eastRecord(const QDateTime &sixOClock);
QByteArray westRecord(const QDateTime &sixOClock, bool namesStation);
