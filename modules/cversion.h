#pragma once

// The installer's version as reported to pages. It comes from "ver.ini" beside
// the executable, a small INI file carrying the module signature block in its
// plain-file form; it counts only when the block verifies with the built-in key
// and the file names this very build (key quorvexcryptoprovider equal to the
// built-in version text).
//
// Lives in the modules library, not in core, because it needs ModuleReader.

#include <QSettings>
#include <QString>

class CVersion : public QSettings
{
public:
    CVersion();

    // The `installer` value, or "0.0.0.INVALID" for a missing, unsigned,
    // tampered or foreign file.
    QString GetVersion();

    static const char *const kInvalidVersion;

private:
    bool m_bSignatureValid = false;
};
