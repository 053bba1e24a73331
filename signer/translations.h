#pragma once

// The dialogs' translations (.qm files built by lrelease from
// signer/translations/*.ts), embedded in the module by the build.

struct EmbeddedTranslation
{
    const char *language; // "de", "et"...
    const unsigned char *data;
    int size;
};

extern const EmbeddedTranslation kSignerTranslations[];
extern const int kSignerTranslationCount;
