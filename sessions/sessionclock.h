#pragma once

// The clock of every session time: last access, idle deadlines, the grace
// period of a closed session's results. Milliseconds on the monotonic clock,
// so a step of the wall clock (a date change, NTP, a resume) neither ends nor
// prolongs a session. Its readings mean nothing outside the process; a time
// shown to a user or written to the log is a wall-clock reading taken there.
//
// A plain function pointer, read on every request that finds a session: tests
// give their own source.

#include <QtGlobal>

#include <chrono>

class SessionClock
{
public:
    using Source = qint64 (*)();

    static qint64 steadyMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    explicit SessionClock(Source v_pfnSource = &steadyMs)
        : m_pfnSource(v_pfnSource)
    {
    }

    qint64 nowMs() const { return m_pfnSource(); }

private:
    Source m_pfnSource;
};
