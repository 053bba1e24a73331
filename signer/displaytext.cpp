#include "displaytext.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QVector>

namespace {

bool mustEscape(uint v_uiCode)
{
    if (v_uiCode < 0x20 || v_uiCode == 0x7f)
        return true;
    if (QChar::isNonCharacter(v_uiCode))
        return true;
    switch (QChar::category(v_uiCode)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// Made at run time, not literals: the result may end up in a widget, and
// Qt must never keep a string whose data lives in this library.
QString escapeOf(uint v_uiCode)
{
    switch (v_uiCode) {
    case '\\': return QString::fromLatin1("\\\\");
    case '\n': return QString::fromLatin1("\\n");
    case '\r': return QString::fromLatin1("\\r");
    case '\t': return QString::fromLatin1("\\t");
    default: break;
    }
    if (v_uiCode < 0x20 || v_uiCode == 0x7f)
        return QStringLiteral("\\x%1").arg(v_uiCode, 2, 16, QLatin1Char('0'));
    if (v_uiCode <= 0xffff)
        return QStringLiteral("\\u%1").arg(v_uiCode, 4, 16, QLatin1Char('0'));
    return QStringLiteral("\\U%1").arg(v_uiCode, 8, 16, QLatin1Char('0'));
}

// Elides a list of display units in the middle to at most v_iMax units.
QString elideUnits(const QStringList &v_oUnits, int v_iMax)
{
    if (v_oUnits.size() <= v_iMax)
        return v_oUnits.join(QString());
    const int iKeep = std::max(v_iMax - 1, 2);
    const int iTail = iKeep / 2;
    const int iHead = iKeep - iTail;
    return v_oUnits.mid(0, iHead).join(QString()) + QChar(0x2026) + v_oUnits.mid(v_oUnits.size() - iTail).join(QString());
}

QString publicSuffix(const QString &v_oHost)
{
    QUrl oUrl;
    oUrl.setScheme(QStringLiteral("https"));
    oUrl.setHost(v_oHost);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // Qt's copy of the public suffix list; no other API of Qt 5 exposes it.
    QString oSuffix = oUrl.topLevelDomain(QUrl::FullyEncoded);
#pragma GCC diagnostic pop
    if (oSuffix.startsWith(QLatin1Char('.')))
        oSuffix.remove(0, 1);
    // A top-level domain the list does not name counts as a suffix of its own
    // (the list's default rule "*").
    if (oSuffix.isEmpty())
        oSuffix = v_oHost.section(QLatin1Char('.'), -1);
    return oSuffix;
}

// scheme://, the elided labels before the registrable domain, the registrable
// domain, the port.
struct OriginPieces
{
    QString head;
    QString lead;
    QString registrable;
    QString port;
};

OriginPieces pieces(const WebOrigin &v_oOrigin, int v_iMaxChars)
{
    OriginPieces oPieces;
    oPieces.head = v_oOrigin.scheme + QStringLiteral("://");
    oPieces.registrable = v_oOrigin.registrable;
    oPieces.port = v_oOrigin.port;
    const QString oLead = v_oOrigin.host.left(v_oOrigin.host.size() - v_oOrigin.registrable.size());
    const int iRoom = v_iMaxChars - oPieces.head.size() - oPieces.registrable.size() - oPieces.port.size();
    if (oLead.size() <= std::max(iRoom, 0)) {
        oPieces.lead = oLead;
    } else {
        QStringList oUnits;
        for (const QChar c : oLead)
            oUnits << QString(c);
        // At least a few characters on each side of the ellipsis.
        oPieces.lead = elideUnits(oUnits, std::max(iRoom, 9));
    }
    return oPieces;
}

} // namespace

QString displayLine(const QString &v_oText, int v_iMaxUnits)
{
    QStringList oUnits;
    const QVector<uint> oCodes = v_oText.toUcs4();
    oUnits.reserve(oCodes.size());
    for (const uint uiCode : oCodes) {
        if (uiCode == '\\' || mustEscape(uiCode))
            oUnits << escapeOf(uiCode);
        else
            oUnits << QString::fromUcs4(&uiCode, 1);
    }
    return elideUnits(oUnits, v_iMaxUnits);
}

WebOrigin parseOrigin(const QByteArray &v_oHeader)
{
    const QRegularExpression kOrigin(QStringLiteral(
        "^([a-z][a-z0-9+.-]{0,31})://"
        "([a-z0-9_]([a-z0-9_-]{0,61}[a-z0-9_])?(\\.[a-z0-9_]([a-z0-9_-]{0,61}[a-z0-9_])?)*|\\[[0-9a-f:.]{2,45}\\])"
        "(:[0-9]{1,5})?$"));
    WebOrigin oOrigin;
    if (v_oHeader.isEmpty() || v_oHeader.size() > 300)
        return oOrigin;
    for (const char c : v_oHeader) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return oOrigin;
    }
    const QString oText = QString::fromLatin1(v_oHeader).toLower();
    const QRegularExpressionMatch oMatch = kOrigin.match(oText);
    if (!oMatch.hasMatch())
        return oOrigin;
    oOrigin.scheme = oMatch.captured(1);
    oOrigin.host = oMatch.captured(2);
    oOrigin.port = oMatch.captured(6);
    if (!oOrigin.port.isEmpty() && oOrigin.port.midRef(1).toInt() > 65535)
        return oOrigin;
    oOrigin.text = oText;
    const QRegularExpression kIpv4(QStringLiteral("^[0-9.]+$"));
    const bool bAddress = oOrigin.host.startsWith(QLatin1Char('[')) || kIpv4.match(oOrigin.host).hasMatch();
    if (bAddress || !oOrigin.host.contains(QLatin1Char('.'))) {
        oOrigin.registrable = oOrigin.host;
    } else {
        const QString oSuffix = publicSuffix(oOrigin.host);
        if (oSuffix.size() >= oOrigin.host.size()) {
            oOrigin.registrable = oOrigin.host;
        } else {
            const QString oRest = oOrigin.host.left(oOrigin.host.size() - oSuffix.size() - 1);
            oOrigin.registrable = oRest.section(QLatin1Char('.'), -1) + QLatin1Char('.') + oSuffix;
        }
    }
    oOrigin.valid = true;
    return oOrigin;
}

QString originPlain(const WebOrigin &v_oOrigin, int v_iMaxChars)
{
    const OriginPieces oPieces = pieces(v_oOrigin, v_iMaxChars);
    return oPieces.head + oPieces.lead + oPieces.registrable + oPieces.port;
}

QString originRich(const WebOrigin &v_oOrigin, int v_iMaxChars)
{
    const OriginPieces oPieces = pieces(v_oOrigin, v_iMaxChars);
    return oPieces.head.toHtmlEscaped() + oPieces.lead.toHtmlEscaped() + QStringLiteral("<b>")
           + oPieces.registrable.toHtmlEscaped() + QStringLiteral("</b>") + oPieces.port.toHtmlEscaped();
}
