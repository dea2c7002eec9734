#pragma once

#include "protocol.h"
#include "timing.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace flash {

// A job file is a few hundred bytes; anything this large is the wrong file.
constexpr qint64 kMaxJobFileBytes = 1024 * 1024;
// Far above any work order of one station, and a typo of a few digits too many is caught.
constexpr int kMaxJobQuantity = 1000000;

// What a job fixes: what is flashed, where and how, and how many. The defaults are the station
// options' defaults, and the limits theirs (timing::kReplyTimeoutMs for the pace,
// timing::kFastAttemptsAfterAbort for the attempts, the two rates of protocol.h).
struct JobSettings
{
    QString name;        // the work order: it keys the job's lock and marks its record lines
    QString station;     // the station's name, for the record and the board
    QString image;       // absolute
    QString imageSha256; // 64 lower-case hex digits
    qint32 baud = protocol::kFastBaud;
    bool verify = false;
    QString expectVersion; // with verify only; empty: any
    QString skipIfVersion; // empty: never
    int paceMs = timing::kReplyPollMs;
    int attempts = 1;
    QStringList ports; // the slots, in order (the key "slots")
    int quantity = 0;  // devices to pass; 0: none given, the station does not stop at a count
    QString record;    // absolute
};

struct Job
{
    JobSettings settings;
    QString file;       // absolute, as named (links not followed)
    QString fileSha256; // of the file's bytes as read: an edited job shows in its records
};

struct ParsedJob
{
    Job job;
    QString error; // a usage error naming the file and the key; empty when the job is usable
};

// Reads a job file. Keys: name, station, image, imageSha256, slots and record are required;
// baud, verify, expectVersion, skipIfVersion, pace, attempts and quantity take the options'
// defaults and rules. An unknown key, a key given twice (at any depth: Qt's reader would keep the
// last one silently), a wrong type or a value out of range is an error, so a typo such as
// "quantitiy" never goes unnoticed. `image` and `record` are relative to the job file's folder,
// or absolute; they come back absolute. Neither file is opened here.
ParsedJob parseJob(const QString &path);

// Writes `settings` as a new job file at `path` and returns the job as parseJob() reads it back.
// `image` and `record` are taken relative to the working folder (or absolute) and written relative
// to the job file's folder when they lie inside it, absolute otherwise; imageSha256 is computed
// from the image. An existing file (also a dangling link) is never replaced, and no half-written
// file is left: the text goes to a temporary file in the same folder, flushed, and is then given
// its name only if that name is free. Refuses what parseJob() would refuse.
ParsedJob writeJob(const QString &path, const JobSettings &settings);

// The name of the first key given twice in any object of a JSON text, or a null string. Keys are
// compared decoded ("\u0061" is "a"), as the reader sees them. On text that is not JSON it finds
// what it can, and gives up at a key it cannot read.
QString firstDuplicateKey(const QByteArray &json);

} // namespace flash
