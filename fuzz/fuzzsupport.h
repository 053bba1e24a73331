#pragma once

// What the fuzz targets share: the invariant check that makes libFuzzer keep
// the input, and the module readers' input as a file that lives in memory.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "invariant violated at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// The bytes as an anonymous file, open for the life of the object.
class MemFile
{
public:
    MemFile(const char *v_pName, const uint8_t *v_pData, size_t v_uiSize)
        : m_iFd(memfd_create(v_pName, MFD_CLOEXEC))
    {
        FUZZ_CHECK(m_iFd >= 0);
        FUZZ_CHECK(write(m_iFd, v_pData, v_uiSize) == ssize_t(v_uiSize));
    }
    ~MemFile() { close(m_iFd); }
    MemFile(const MemFile &) = delete;
    MemFile &operator=(const MemFile &) = delete;

    int fd() const { return m_iFd; }

private:
    int m_iFd;
};
