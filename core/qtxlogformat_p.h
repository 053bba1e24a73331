#pragma once

// Shared by the log sink's files; not for users of the sink.

#include <algorithm>
#include <cstddef>
#include <cstring>

// Appends to a fixed buffer, truncating at its end.
struct QtxLogOut
{
    char *data;
    std::size_t capacity;
    std::size_t size = 0;

    void add(const char *v_pText, std::size_t v_uiSize)
    {
        const std::size_t uiCopy = std::min(v_uiSize, capacity - size);
        std::memcpy(data + size, v_pText, uiCopy);
        size += uiCopy;
    }
    void add(const char *v_pText) { add(v_pText, std::strlen(v_pText)); }
    void add(char v_cChar) { add(&v_cChar, 1); }
    void addUnsigned(unsigned long long v_uiValue, int v_iMinDigits = 1)
    {
        char aDigits[24];
        int iCount = 0;
        do {
            aDigits[iCount++] = static_cast<char>('0' + v_uiValue % 10);
            v_uiValue /= 10;
        } while (v_uiValue != 0 || iCount < v_iMinDigits);
        while (iCount > 0)
            add(aDigits[--iCount]);
    }
    void addSigned(long long v_iValue)
    {
        if (v_iValue < 0) {
            add('-');
            addUnsigned(0ULL - static_cast<unsigned long long>(v_iValue));
        } else {
            addUnsigned(static_cast<unsigned long long>(v_iValue));
        }
    }
};
