#include "commandnotes.h"

#include "httpconnectioninfo.h"
#include "httprequest.h"

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
        const QByteArray oCmd = v_oRequest.getParameter("cmd");
        if (iSegments == 0) {
            poTarget->command = oCmd;
        } else if (!oCmd.isEmpty()) {
            poTarget->library = aSegments[0];
            poTarget->command = oCmd;
        } else {
            poTarget->command = aSegments[0];
        }
    }
    const CommandTarget &oTarget = *poTarget;
    v_oRequest.setNote(std::move(poTarget));
    return oTarget;
}

const ClientAccount *ClientAccount::of(const norrweb::HttpConnectionInfo &v_oConnection)
{
    return dynamic_cast<const ClientAccount *>(v_oConnection.handlerNote.get());
}
