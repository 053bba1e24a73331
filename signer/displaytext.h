#pragma once

// What the Signer's dialogs show of a request: page text as one escaped line,
// and the requesting origin, checked and with its registrable domain found.

#include <QByteArray>
#include <QString>

// Page-supplied text as one line that cannot pass for the dialog's own: the
// backslash as \\, \n \r \t, other control characters as \xNN or \uNNNN,
// format characters (bidirectional overrides and isolates, zero-width
// characters...), line and paragraph separators, private-use and unassigned
// code points as \uNNNN or \U00NNNNNN. More than v_iMaxUnits characters (an
// escape counts as one) are elided in the middle, so the end (a file's
// extension) stays visible.
QString displayLine(const QString &v_oText, int v_iMaxUnits = 120);

// A web origin as the browser serialises it: scheme://host[:port], ASCII
// (browsers send international names in their xn-- form), at most 300
// characters. Upper-case letters are taken as lower-case; anything else (a
// path, user information, "null", blanks) makes it invalid.
struct WebOrigin
{
    bool valid = false;
    QString text;        // the canonical origin
    QString scheme;
    QString host;
    QString port;        // with its colon, or empty
    QString registrable; // the part of the host a registrant controls: bank.example, bank.co.uk;
                         // the whole host for addresses, localhost and public suffixes
};

WebOrigin parseOrigin(const QByteArray &v_oHeader);

// The origin in at most about v_iMaxChars characters: the registrable domain
// and the port always whole, the labels before the registrable domain elided
// in the middle when they must be. The rich form puts the registrable domain
// in bold and is built from escaped parts only.
QString originPlain(const WebOrigin &v_oOrigin, int v_iMaxChars = 64);
QString originRich(const WebOrigin &v_oOrigin, int v_iMaxChars = 64);
