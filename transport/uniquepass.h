#pragma once

// Derives the TLS key's pass phrase from values bound to the machine and to the
// account, so the phrase is never stored: SHA-256 over the account's secret, the
// machine id and the motherboard identity, as 64 lower-case hexadecimal characters.
//
// Linux sources:
//   seed        the account's secret, KeyStore::secretPath() (private/Seed in the
//               account's key store): 64 hexadecimal characters from getrandom,
//               created once (0600, folder 0700) by the first derivation. A secret
//               that another account could read, or that is not the account's own
//               file, is not used (section 1 fails): the phrase then does not
//               open the key;
//   machine id  /etc/machine-id (world-readable);
//   motherboard the type-1 UUID of a raw SMBIOS table when one is given, otherwise the
//               world-readable DMI identity (/sys/class/dmi/id: sys_vendor, product_name,
//               board_vendor, board_name), since the raw table is readable by root only.
// Only the secret keeps the phrase from other accounts; the machine values bind it
// to this machine. QTX_MACHINE_SEED_FILE, QTX_MACHINE_ID_FILE, QTX_SMBIOS_TABLE_FILE
// and QTX_DMI_ID_DIR replace these paths (tests and relocated installs).

#include "secureobject.h"

#include <QByteArray>
#include <QString>

class UniquePassInterface
{
public:
    virtual ~UniquePassInterface() = default;
    virtual void getPassword(SecurePass &v_oPassPhrase) = 0;
    virtual bool isFailed() const = 0;
    virtual bool selfTest() = 0;
    virtual void reset() = 0;
};

class UniquePass : public UniquePassInterface
{
public:
    // 0 machine id, 1 motherboard, 2 both, 3 seed, 4 seed + machine id + motherboard.
    explicit UniquePass(int v_iSources = 4);
    ~UniquePass() override;

    void getPassword(SecurePass &v_oPassPhrase) override;
    bool isFailed() const override { return m_bFailed; }
    // Derives twice and compares: true when the derivation is stable and well formed.
    bool selfTest() override;
    void reset() override;

    // The 16 bytes of the UUID of the last type-1 (System Information) structure of
    // a raw SMBIOS table (8-byte header: length at bytes 4..7), or empty.
    static QByteArray uuidFromSmbiosTable(const QByteArray &v_oRawTable);
    static QString seedFilePath();
    // The account's secret was read (or created) and is the account's alone.
    bool hasAccountSecret() const { return !m_oRegistrySeed.isEmpty(); }

private:
    void gather();
    QByteArray getRegistrySeed();
    QByteArray getMachineGuid();
    QByteArray getMotherboardUUID();
    void checkResultInSection(const QByteArray &v_oValue, int v_iSection);

    QByteArray m_oMotherboardUuid;
    QByteArray m_oMachineGuid;
    QByteArray m_oUnused;
    QByteArray m_oRegistrySeed;
    SecureObject m_oUniqueMaterial;
    bool m_bDisableMotherboard = false;
    bool m_bVerbose = false;
    bool m_bFailed = false;
    int m_iSources;
};
