#pragma once

// Builders for the files the signature tests read: synthetic PE32 images and
// byte-level edits of signed files.

#include "qtxsigner.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace tst {

inline QByteArray signingKeyPem()
{
    QFile oFile(QStringLiteral(QTX_TEST_SIGNING_KEY));
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

inline void put32(QByteArray &v_oImage, int v_iPos, quint32 v_uiValue)
{
    for (int i = 0; i < 4; ++i)
        v_oImage[v_iPos + i] = char((v_uiValue >> (8 * i)) & 0xFF);
}

inline void put64(QByteArray &v_oImage, int v_iPos, qint64 v_iValue)
{
    for (int i = 0; i < 8; ++i)
        v_oImage[v_iPos + i] = char((quint64(v_iValue) >> (8 * i)) & 0xFF);
}

// Body bytes free of 0xFF, so only the block can put a marker into a file.
inline QByteArray body(int v_iSize, int v_iSeed = 1)
{
    QByteArray oBody(v_iSize, '\0');
    for (int i = 0; i < v_iSize; ++i)
        oBody[i] = char((i * 31 + v_iSeed * 7) % 251);
    return oBody;
}

constexpr int kLfanew = 0x80;
constexpr int kCheckSumOffset = 0x58;  // PE32 optional header CheckSum, relative to e_lfanew

// A PE32 image: DOS header with e_lfanew, PE signature, SizeOfHeaders, an empty
// security directory, then the body.
inline QByteArray pe32Image(int v_iHeaderSize = 0x400, int v_iBodySize = 5000)
{
    QByteArray oImage(v_iHeaderSize, '\0');
    oImage[0] = 'M';
    oImage[1] = 'Z';
    put32(oImage, 0x3C, kLfanew);
    oImage[kLfanew] = 'P';
    oImage[kLfanew + 1] = 'E';
    oImage[kLfanew + 0x18] = char(0x0B);  // PE32 optional header magic 0x10B
    oImage[kLfanew + 0x19] = char(0x01);
    put32(oImage, kLfanew + 0x54, quint32(v_iHeaderSize));
    return oImage + body(v_iBodySize);
}

// Appends an Authenticode-like certificate table (it holds 0xFF bytes on
// purpose) and points the security directory at it.
inline void addAuthenticode(QByteArray &v_oImage, int v_iSize = 96)
{
    const int iPos = v_oImage.size();
    QByteArray oTable(v_iSize, char(0xFF));
    for (int i = 0; i < v_iSize; i += 3)
        oTable[i] = char(i);
    v_oImage += oTable;
    put32(v_oImage, kLfanew + 0x98, quint32(iPos));
    put32(v_oImage, kLfanew + 0x9C, quint32(v_iSize));
}

inline bool writeFile(const QString &v_oPath, const QByteArray &v_oData)
{
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && oFile.write(v_oData) == v_oData.size();
}

inline QByteArray readFile(const QString &v_oPath)
{
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

// Writes v_oData to v_oPath and signs it with the build's signing key.
inline bool writeSigned(const QString &v_oPath, const QByteArray &v_oData, bool v_bPlain,
                        int v_iPadding = qtxsign::kAutoPadding)
{
    QString oMessage;
    return writeFile(v_oPath, v_oData)
           && qtxsign::signFile(v_oPath, signingKeyPem(), v_bPlain, v_iPadding, &oMessage) == qtxsign::Outcome::Ok;
}

} // namespace tst

#define TST_REQUIRE_SIGNING_KEY()                                                              \
    do {                                                                                       \
        if (tst::signingKeyPem().isEmpty())                                                    \
            QSKIP("The build has no module signing key (vendor public key without private)"); \
    } while (0)
