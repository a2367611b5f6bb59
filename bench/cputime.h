#pragma once

// CPU time for the benchmarks: of this process (all threads, user + system)
// and of the calling thread, in seconds.

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>

inline double FileTimeSeconds(const FILETIME &t)
{
    return double((quint64(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
}

inline double ProcessCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}

inline double ThreadCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}
#else
#include <ctime>
#include <sys/resource.h>

inline double ProcessCpuSeconds()
{
    rusage r {};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

inline double ThreadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
#endif
