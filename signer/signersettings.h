#pragma once

// The Signer's settings: the [signing] group of the server's INI file (beside
// the server's executable), read once per command.
//   pkcs11Module=PATH          a PKCS#11 module p11-kit does not know (QTX_PKCS11_MODULE wins)
//   dialogTimeoutSeconds=120   a dialog left unanswered this long is cancelled (5-3600)
//   confirmDelayMs=1000        the Sign/Select/Log-in button stays disabled this long after
//                              the dialog appears or comes back to the front (300-10000)
//   batchMaxDocuments=100      the most documents one SignBatch may carry (1-1000)

#include <QString>

struct SignerSettings
{
    QString pkcs11Module;
    int dialogTimeoutSeconds = 120;
    int confirmDelayMs = 1000;
    int batchMaxDocuments = 100;

    static SignerSettings read();
};
