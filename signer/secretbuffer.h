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
    bool append(const char *v_pData, std::size_t v_uSize)
    {
        if (v_uSize > kCapacity - m_size)
            return false;
        std::memcpy(m_bytes.data() + m_size, v_pData, v_uSize);
        m_size += v_uSize;
        return true;
    }
    // Removes the last UTF-8 character.
    void chopCharacter()
    {
        while (m_size > 0) {
            const unsigned char c = static_cast<unsigned char>(m_bytes[--m_size]);
            m_bytes[m_size] = 0;
            if ((c & 0xc0) != 0x80)
                break;
        }
    }
    void clear()
    {
        OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
        m_size = 0;
    }
    const char *data() const { return m_bytes.data(); }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

private:
    void take(SecretBuffer &v_oOther)
    {
        std::memcpy(m_bytes.data(), v_oOther.m_bytes.data(), v_oOther.m_size);
        m_size = v_oOther.m_size;
        v_oOther.clear();
    }

    std::array<char, kCapacity> m_bytes{};
    std::size_t m_size = 0;
};
