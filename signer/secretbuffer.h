#pragma once

// A PIN's bytes in one fixed buffer that never reallocates (so no copy is left
// behind in freed memory) and is overwritten when cleared, moved from or
// destroyed.

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstring>

class SecretBuffer
{
public:
    static constexpr std::size_t kCapacity = 128;

    SecretBuffer() = default;
    ~SecretBuffer() { clear(); }
    SecretBuffer(const SecretBuffer &) = delete;
    SecretBuffer &operator=(const SecretBuffer &) = delete;
    SecretBuffer(SecretBuffer &&v_oOther) noexcept { take(v_oOther); }
    SecretBuffer &operator=(SecretBuffer &&v_oOther) noexcept
    {
        if (this != &v_oOther) {
            clear();
            take(v_oOther);
        }
        return *this;
    }

    // False (and nothing appended) when the bytes do not fit.
    bool append(const char *v_pData, std::size_t v_ulSize)
    {
        if (v_ulSize > kCapacity - m_ulSize)
            return false;
        std::memcpy(m_aBytes.data() + m_ulSize, v_pData, v_ulSize);
        m_ulSize += v_ulSize;
        return true;
    }
    // Removes the last UTF-8 character.
    void chopCharacter()
    {
        while (m_ulSize > 0) {
            const unsigned char c = static_cast<unsigned char>(m_aBytes[--m_ulSize]);
            m_aBytes[m_ulSize] = 0;
            if ((c & 0xc0) != 0x80)
                break;
        }
    }
    void clear()
    {
        OPENSSL_cleanse(m_aBytes.data(), m_aBytes.size());
        m_ulSize = 0;
    }
    const char *data() const { return m_aBytes.data(); }
    std::size_t size() const { return m_ulSize; }
    bool empty() const { return m_ulSize == 0; }

private:
    void take(SecretBuffer &v_oOther)
    {
        std::memcpy(m_aBytes.data(), v_oOther.m_aBytes.data(), v_oOther.m_ulSize);
        m_ulSize = v_oOther.m_ulSize;
        v_oOther.clear();
    }

    std::array<char, kCapacity> m_aBytes{};
    std::size_t m_ulSize = 0;
};
