#pragma once

#include <QTextStream>

#include <sys/resource.h>

inline QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// User plus system time of this process, all its threads included.
inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
