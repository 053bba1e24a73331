#pragma once

// Buffers of whole documents (megabytes) with their pages got in bulk: transparent
// huge pages where the kernel gives them (THP "madvise" or "always"), and the
// rest populated by one call instead of one page fault per 4 KiB. On virtual
// machines a page fault can cost 10-20 µs: filling 10 MB page by page took
// 27-80 ms on a 2-core build machine, with huge pages about 1 ms.
// Kernels without these calls (before 5.14) fault as before.
//
//   QByteArray oCopy(oDocument.size(), Qt::Uninitialized);
//   qtxPrepareLargeBuffer(oCopy.data(), size_t(oCopy.size()));
//   std::memcpy(oCopy.data(), oDocument.constData(), size_t(oDocument.size()));
//
// Plain C++ (no Qt): helper processes use it too.

#include <cstddef>
#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// From this size on a buffer is prepared; below, the calls cost more than the faults.
constexpr std::size_t kQtxLargeBufferMin = 1 << 20;

// Asks for huge pages for the 2 MiB-aligned part of [v_pData, v_pData + v_uiSize):
// advice only, memory is still taken as the pages are first written (then
// 2 MiB at a time). For room reserved ahead of data that may never come.
inline void qtxAdviseHugePages(void *v_pData, std::size_t v_uiSize)
{
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    const std::uintptr_t uiBegin = reinterpret_cast<std::uintptr_t>(v_pData);
    const std::uintptr_t uiHugeBegin = (uiBegin + kHuge - 1) & ~(kHuge - 1), uiHugeEnd = (uiBegin + v_uiSize) & ~(kHuge - 1);
    if (uiHugeEnd > uiHugeBegin)
        ::madvise(reinterpret_cast<void *>(uiHugeBegin), uiHugeEnd - uiHugeBegin, MADV_HUGEPAGE);
}

// Makes the pages of [v_pData, v_pData + v_uiSize) ready to be written (huge
// pages where possible, the rest populated): call before filling a new buffer
// that will be filled whole.
inline void qtxPrepareLargeBuffer(void *v_pData, std::size_t v_uiSize)
{
    if (v_uiSize < kQtxLargeBufferMin)
        return;
    qtxAdviseHugePages(v_pData, v_uiSize);
    const std::uintptr_t uiPage = std::uintptr_t(sysconf(_SC_PAGESIZE));
    const std::uintptr_t uiFirst = reinterpret_cast<std::uintptr_t>(v_pData) & ~(uiPage - 1);
    const std::uintptr_t uiEnd = (reinterpret_cast<std::uintptr_t>(v_pData) + v_uiSize + uiPage - 1) & ~(uiPage - 1);
    ::madvise(reinterpret_cast<void *>(uiFirst), uiEnd - uiFirst, MADV_POPULATE_WRITE);
}
