#pragma once

// The text of a log line: the prefix of the server's fixed pattern and the
// escaped message. Used by the sink (core/qtxlogsink.h) on the thread that logs.

#include <cstddef>
#include <ctime>
#include <string>

// A message may carry bytes a client sent (a decoded path, a header, a body).
// So that none of them can end the line and start a forged one, or drive the
// terminal of whoever reads the log, the sink escapes the message part of every
// line: CR, LF and TAB as \r \n \t, every other byte outside printable ASCII
// (control bytes, DEL, and every byte from 0x80 up, so UTF-8 text with its C1,
// line-break and bidirectional controls too) as \xNN, and the backslash
// doubled (so the escaping reads back unambiguously).
bool qtxLogNeedsEscape(const char *v_pText, std::size_t v_uiSize);
void qtxLogEscape(const char *v_pText, std::size_t v_uiSize, std::string &v_oOut);

// "%d{%Y-%m-%d %H:%M:%S.%l} %u [%t] %p %x - " for one line. The date of the
// current second is cached per thread (one localtime per second, not per
// line); %u is the process CPU clock in microseconds, as clock() gives it,
// sampled at most once a millisecond for all threads.
std::size_t qtxFormatLogPrefix(char *v_pOut, std::size_t v_uiCapacity, const timespec &v_oTime,
                               const char *v_pThread, std::size_t v_uiThreadSize, int v_iPriority,
                               const char *v_pNdc, std::size_t v_uiNdcSize);
// The process CPU clock for the pattern's %u at wall-clock time v_oNow.
long long qtxLogCpuClock(const timespec &v_oNow);
// This thread's name as log4cpp's pattern prints it (%t), cached per thread.
const std::string &qtxLogThreadName();
// Async-signal-safe prefix: no cache, no locale; the time zone offset is the one
// last seen by the cached formatting.
std::size_t qtxFormatLogPrefixForSignal(char *v_pOut, std::size_t v_uiCapacity, const char *v_pPriorityName);
