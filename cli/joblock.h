#pragma once

#include <QString>

namespace flash {

// A job runs once per machine: an exclusive flock() on a lock file named after the job. The
// kernel lets it go when the holder ends, however it ends (Ctrl+C, a crash, kill -9), so a lock
// is never left behind by a dead station. The file itself stays (a few bytes in a folder emptied
// at boot): removing it could let a second holder lock a new file while the first still holds
// the old one.
class JobLock
{
public:
    enum class Outcome { Locked, Busy, Failed };

    JobLock() = default;
    ~JobLock() { release(); }
    JobLock(const JobLock &) = delete;
    JobLock &operator=(const JobLock &) = delete;

    // /run/lock when this user may write there, else /tmp: both are one folder for every user of
    // the machine (a per-user $XDG_RUNTIME_DIR would let two users run one job).
    static QString defaultFolder();
    // "pelmar-job-<SHA-256 of the name>.lock": any name, slashes and all, makes a safe file name.
    static QString fileName(const QString &jobName);

    // Never waits. Busy: another process runs the job (`error` says so, for "job already
    // running"); Failed: the lock file cannot be made or opened (a link planted at its path is
    // not followed). The file is made readable by all, so another user's run is refused too.
    Outcome acquire(const QString &jobName, const QString &folder, QString *error);
    void release();

    bool held() const { return m_fd >= 0; }
    QString path() const { return m_path; }

private:
    int m_fd = -1;
    QString m_path;
};

} // namespace flash
