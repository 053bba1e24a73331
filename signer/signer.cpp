// Signer: certificates and signatures of the PKCS#11 tokens present (smart
// cards through OpenSC, SoftHSM, any module p11-kit knows). Nothing about the
// user reaches a page without the user's yes: a page sees a certificate only
// after the user picked it in a native picker naming the page's origin (or
// let that origin see it from now on), under an id of its own for that
// origin, and every signature needs consent and the PIN in a dialog.
//
// Commands: ListCertificates, SelectCertificate (GUI), Sign (GUI), SignPdf (GUI), Authenticate
// (GUI: the log-in token of docs/authentication.md), SignBatch (GUI: many
// digests under one consent) and BatchProgress (its signatures as they
// complete); each is a class in commands.h. Replies are JSON; failures are
// "500|{"error":CODE,"message":...}" with CODE one of BAD_REQUEST, NO_ORIGIN,
// UNSUPPORTED_ALGORITHM, BAD_DIGEST_LENGTH, BAD_NONCE, NO_DISPLAY, NO_TOKEN (with
// "modules": the PKCS#11 modules tried), CERTIFICATE_NOT_FOUND,
// CERTIFICATE_NOT_USABLE (with "reason"), CANCELLED (with "reason":"timeout"
// after the dialog's time-out), PIN_INCORRECT (with "triesLeft" "low"/"final"
// when the token says so), PIN_LOCKED, TOKEN_REMOVED, TOKEN_ERROR, CMS_ERROR,
// STORE_ERROR, BATCH_TOO_LARGE (with "maxDocuments" and "maxBytes"),
// BATCH_NOT_FOUND.
//
// No CanUnprivilegedRun export: other accounts never reach these functions.

#include "qtxmodule.h"

#include "commands.h"

QTX_MODULE_COMMAND(ListCertificates);
QTX_MODULE_COMMAND(SelectCertificate);
QTX_MODULE_COMMAND(Sign);
QTX_MODULE_COMMAND(SignPdf);
QTX_MODULE_COMMAND(Authenticate);
QTX_MODULE_COMMAND(SignBatch);
QTX_MODULE_COMMAND(BatchProgress);

// The dialog commands are GUI commands (main thread, one dialog at a time)
// only when a dialog can be shown; otherwise they run as ordinary commands and
// answer NO_DISPLAY at once instead of the server's generic refusal.
QTX_MODULE_EXPORT bool IsGuiFunction(tpfun v_poFunction)
{
    return (v_poFunction == &Sign || v_poFunction == &SignPdf || v_poFunction == &SelectCertificate
            || v_poFunction == &Authenticate || v_poFunction == &SignBatch)
           && signerUi().available();
}

QTX_MODULE_EXPORT bool CanUseOnTerminalServices()
{
    return true;
}

QTX_MODULE_COMMAND(ListCertificates)
{
    Q_UNUSED(v_oSessionParams);
    return ListCertificatesCommand(v_oRequest).run();
}

QTX_MODULE_COMMAND(SelectCertificate)
{
    Q_UNUSED(v_oSessionParams);
    return SelectCertificateCommand(v_oRequest, signerUi()).run();
}

QTX_MODULE_COMMAND(Sign)
{
    Q_UNUSED(v_oSessionParams);
    return SignCommand(v_oRequest, signerUi()).run();
}

QTX_MODULE_COMMAND(SignPdf)
{
    Q_UNUSED(v_oSessionParams);
    return SignPdfCommand(v_oRequest, signerUi()).run();
}

QTX_MODULE_COMMAND(Authenticate)
{
    Q_UNUSED(v_oSessionParams);
    return AuthenticateCommand(v_oRequest, signerUi()).run();
}

QTX_MODULE_COMMAND(SignBatch)
{
    Q_UNUSED(v_oSessionParams);
    return SignBatchCommand(v_oRequest, signerUi()).run();
}

QTX_MODULE_COMMAND(BatchProgress)
{
    Q_UNUSED(v_oSessionParams);
    return BatchProgressCommand(v_oRequest).run();
}
