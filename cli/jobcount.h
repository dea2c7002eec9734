#pragma once

#include <QSet>
#include <QString>

namespace flash {

// The devices a job has passed so far, as its record file tells them.
struct JobPasses
{
    QSet<QString> serials; // distinct serial numbers: each device counts once
    int withoutSerial = 0; // passes of this job with no serial number at all: not counted (a
                           // line found twice, by its id, once)
    QString error;         // the record exists but cannot be read; empty otherwise
};

// Reads the job's record at the start, so that a station restarted mid-shift, or one whose
// record already holds yesterday's passes, continues the count. A pass counts when its line is a
// `success` whose `job` is `jobName` and whose `imageSha256` is the job's image; the device is
// known by deviceSerial() (a device recovered from waiting for firmware by the serial number it
// gave after its restart). Lines of other jobs or images, other results, malformed lines and
// lines over kMaxLineBytes are passed over. A record file that does not exist yet is no pass;
// one that is not a regular file, or cannot be read, is an error: the count cannot be known.
JobPasses countJobPasses(const QString &recordPath, const QString &jobName,
                         const QString &imageSha256);

} // namespace flash
