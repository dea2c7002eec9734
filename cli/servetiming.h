#pragma once

// Every limit and wait of the page (--serve) with its reason.
namespace flash::servetiming {

// One thread per connection while it is served (cpp-httplib's model): 50 live pages hold 50 of
// them for their pushes, 10 stalled connections 10 more for at most kHeadDeadlineMs, browsers
// keep idle connections for kKeepAliveS; the rest serve new pages at once. An idle thread costs
// its stack's touched pages only.
constexpr int kWorkers = 160;
// Pushes beyond this are refused (503, the page retries): a pool thread must stay free for new
// pages whatever the number of open pages.
constexpr int kMaxStreams = 100;

// Connections accepted by the system before the server takes them.
constexpr int kListenBacklog = 1024;

// A request head (request line and headers) must arrive whole within this: a client that sends
// it a byte at a time holds a thread no longer.
constexpr int kHeadDeadlineMs = 10000;
// A URL longer than this is refused (414); a head larger than this, or with more header lines,
// is refused (431). A browser's head is under 2 KiB.
constexpr int kMaxRequestLine = 4096;
constexpr int kMaxHeadBytes = 8192;
constexpr int kMaxHeaderLines = 64;
// A GET carries no body and none is read; should a handler ever read one, more is refused (413).
constexpr int kMaxBodyBytes = 1024;
// Each read and each write waits at most this long for the client; a page that stops reading its
// pushes is dropped after it.
constexpr int kReadTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 5000;
// An idle kept-alive connection is closed after this, giving its thread back.
constexpr int kKeepAliveMs = 2000;
constexpr int kKeepAliveRequests = 100;
// Between two looks at a request head that is still arriving.
constexpr int kHeadPollMs = 10;
// After a refusal the rest of what the client sent is read for this long, so that closing does
// not reset the connection before the client has read the answer.
constexpr int kDrainMs = 500;

// A push connection gets a comment this often while nothing happens: proxies and the browser
// keep it open, and a page that is gone is noticed by the failed write.
constexpr int kPingMs = 15000;
// Pushed events kept for pages that fall behind; one further behind reloads.
constexpr int kHubEvents = 2000;
// More new attempts than this in one wake-up (a shipper catching up) are pushed as one reload.
constexpr int kPushBurst = 100;

// The summary is computed at most once in this time whatever the number of pages asking.
constexpr int kSummaryCacheMs = 1000;
// Database connections of the request handlers: each query ends within the statement time-out,
// and a request waits at most kPoolWaitMs for a connection.
constexpr int kPoolSize = 4;
constexpr int kStatementTimeoutMs = 5000;
constexpr int kPoolWaitMs = 3000;
// A summary of another period than today is counted in SQL over its attempts: about 1.5 s per
// 100 000 on a small server. One is made at a time.
constexpr int kSummaryTimeoutMs = 60000;
// While today's attempts are read at the start, today's summary waits for them this long
// rather than asking the database for the same in SQL meanwhile.
constexpr int kDayWaitMs = 30000;
// Today's attempts that could not be read are read again after this (the pages are served from
// SQL meanwhile).
constexpr int kDayRetryMs = 5000;

// The record files are looked at this often besides the file watch (network file systems).
constexpr int kFileRescanMs = 1000;

// The API's page sizes.
constexpr int kAttemptsDefault = 50;
constexpr int kAttemptsMax = 1000;
constexpr int kUnitMax = 1000;
constexpr int kNeverPassedShown = 200;
// The chart's hours: a summary over a month still draws; older hours are left out of it.
constexpr int kMaxChartHours = 31 * 24;

} // namespace flash::servetiming
