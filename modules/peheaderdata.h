#pragma once

// Reads the two positions the signature block depends on out of the PE32
// headers of a module file: SizeOfHeaders (the signed region starts there) and
// the file offset of the Authenticode certificate table (the padding after the
// block ends there). A file that does not start with "MZ" -- every ELF module --
// gives 0 for both, so the signature covers the whole file up to the block.

#include <QtGlobal>

class QFile;

class PEHeaderData
{
public:
    // v_poFile is not owned and must be open for reading when loadData runs.
    explicit PEHeaderData(QFile *v_poFile);

    void loadData();

    qint64 headerSize() const { return m_iHeaderSize; }
    // 0 when the file has no Authenticode table.
    qint64 authenticodePosition() const { return m_iAuthenticodePosition; }

    // PE32 offsets relative to e_lfanew (the PE signature's offset, stored at 0x3C).
    static constexpr qint64 kLfanewOffset = 0x3C;
    static constexpr qint64 kSizeOfHeadersOffset = 0x54;
    static constexpr qint64 kSecurityDirOffset = 0x98;
    static constexpr qint64 kSecurityDirSizeOffset = 0x9C;

private:
    QFile *m_poFile;
    qint64 m_iHeaderSize = 0;
    qint64 m_iAuthenticodePosition = 0;
};
