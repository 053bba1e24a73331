#include "commandnotes.h"

#include "httpconnectioninfo.h"
#include "httprequest.h"

namespace {

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, hex digits of either case.
bool isBracedUuid(const QByteArray &v_oText)
{
    if (v_oText.size() != 38 || v_oText.at(0) != '{' || v_oText.at(37) != '}')
        return false;
    for (int i = 1; i < 37; ++i) {
        const bool bDash = i == 9 || i == 14 || i == 19 || i == 24;
        if (bDash ? v_oText.at(i) != '-' : !isHex(v_oText.at(i)))
            return false;
    }
    return true;
}

bool isCounter(const QByteArray &v_oText)
{
    if (v_oText.isEmpty() || v_oText.size() > 13)
        return false;
    for (const char c : v_oText) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

CheckedId CheckedId::of(const QByteArray &v_oRaw)
{
    // Both forms consist of characters that HTML escaping leaves alone, so the
    // trimmed bytes are checked as they are.
    CheckedId oChecked;
    oChecked.raw = v_oRaw;
    const QByteArray oTrimmed = v_oRaw.trimmed();
    if (isBracedUuid(oTrimmed))
        oChecked.form = Uuid;
    else if (isCounter(oTrimmed))
        oChecked.form = Counter;
    if (oChecked.form != Invalid)
        oChecked.id = oTrimmed;
    return oChecked;
}

CommandTarget &CommandTarget::of(norrweb::HttpRequest &v_oRequest)
{
    of(static_cast<const norrweb::HttpRequest &>(v_oRequest));
    return *static_cast<CommandTarget *>(v_oRequest.note());
}

const CommandTarget &CommandTarget::of(const norrweb::HttpRequest &v_oRequest)
{
    if (const auto *poKept = dynamic_cast<const CommandTarget *>(v_oRequest.note()))
        return *poKept;
    auto poTarget = std::make_unique<CommandTarget>();
    poTarget->path = v_oRequest.getDecodedPath();
    // At most the first two non-empty segments count.
    QByteArray aSegments[2];
    int iSegments = 0;
    int iStart = 0;
    const QByteArray &oPath = poTarget->path;
    while (iSegments < 2 && iStart <= oPath.size()) {
        int iEnd = oPath.indexOf('/', iStart);
        if (iEnd < 0)
            iEnd = oPath.size();
        if (iEnd > iStart)
            aSegments[iSegments++] = oPath.mid(iStart, iEnd - iStart);
        iStart = iEnd + 1;
    }
    if (iSegments == 2) {
        poTarget->library = aSegments[0];
        poTarget->command = aSegments[1];
    } else {
        const QByteArray oCmd = v_oRequest.getParameter(QByteArrayLiteral("cmd"));
        if (iSegments == 0) {
            poTarget->command = oCmd;
        } else if (!oCmd.isEmpty()) {
            poTarget->library = aSegments[0];
            poTarget->command = oCmd;
        } else {
            poTarget->command = aSegments[0];
        }
    }
    // Header names are stored in lower case; of repeated ones the last counts.
    poTarget->sessionId = CheckedId::of(v_oRequest.getHeader(QByteArrayLiteral("x-qtx-sessionid")));
    poTarget->commandId = CheckedId::of(v_oRequest.getHeader(QByteArrayLiteral("x-qtx-cmdid")));
    const CommandTarget &oTarget = *poTarget;
    v_oRequest.setNote(std::move(poTarget));
    return oTarget;
}

const ClientAccount *ClientAccount::of(const norrweb::HttpConnectionInfo &v_oConnection)
{
    return dynamic_cast<const ClientAccount *>(v_oConnection.handlerNote.get());
}
