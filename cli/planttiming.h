#pragma once

// Every wait of the plant side (the shipper, the database report) with its reason.
namespace flash::planttiming {

// A connect that hangs (a host that drops packets) must end so that the shipper can retry and a
// stop request is taken; PGCONNECT_TIMEOUT or the URL's connect_timeout win over it.
constexpr int kConnectTimeoutS = 10;
// A server that vanished without closing the connection (power, network) is noticed within about
// idle + interval × count = 25 s while a statement waits, instead of the system's two hours.
constexpr int kKeepaliveIdleS = 10;
constexpr int kKeepaliveIntervalS = 5;
constexpr int kKeepaliveCount = 3;
// Data the server never acknowledges ends the connection after this long.
constexpr int kTcpUserTimeoutMs = 30000;

// Back-off between connects while the database is down: a lost connection is tried again at
// once (a server restart ends every connection), then after 1 s, doubling up to 30 s, so that
// twenty stations do not hammer a server that is starting, and a short outage costs seconds.
constexpr int kFirstRetryMs = 1000;
constexpr int kMaxRetryMs = 30000;

// A file watch (inotify) wakes the shipper at once; this look at every file is for what the watch
// cannot see (network file systems, a folder that did not exist yet). Two stat() calls per file
// every 2 s cost nothing while idle.
constexpr int kRescanMs = 2000;
// The station holds its record's lock for one write and its flush; the shipper reads only
// without it and looks again this soon.
constexpr int kLockRetryMs = 20;
// A file replaced at its path (renamed away, removed) is read to its end and followed until it
// has not grown for this long: a station that still had it open has moved on by then.
constexpr int kOldFileQuietMs = 10 * 60 * 1000;

} // namespace flash::planttiming
