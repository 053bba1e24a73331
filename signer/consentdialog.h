#pragma once

// The consent and PIN dialog of the Signer module. Runs on the server's main
// thread inside a GUI command. The page never supplies the PIN: only the person
// at the screen types it here.

#include <QByteArray>
#include <QString>

struct ConsentRequest
{
    QString origin;        // the requesting page's Origin header
    QString certificate;   // subject common name (or full subject)
    QString issuer;
    QString tokenLabel;
    QString documentName;  // as the page named it
    QString digestAlgorithm;
    QString signatureAlgorithm;
    QByteArray digest;
    bool protectedPath = false; // the reader's keypad takes the PIN
    bool pinCountLow = false;
    bool pinFinalTry = false;
};

struct ConsentAnswer
{
    bool accepted = false;
    QByteArray pin;   // empty with a protected authentication path
};

// True when a person can see a dialog: a widget application on a real display
// platform (not "offscreen"/"minimal", which Qt falls back to without one).
// The test hook, when built in and enabled, counts as a display.
bool consentPossible();

ConsentAnswer askConsent(const ConsentRequest &v_oRequest);

// Overwrites the PIN's bytes before the buffer is released.
void wipe(QByteArray *v_poSecret);
