#pragma once

#include <QString>

// Names the configuration and log paths derive from; set by CStartup::Start first.
extern const char *const kQtxApplicationName;   // "QuorvexCryptoProvider"
extern const char *const kQtxOrganizationName;  // "Quorvex"
extern const char *const kQtxOrganizationDomain;

// The built-in version text: "3.0.16." followed by the 40-digit source revision.
QString qtxBuiltInVersion();

// The per-user data folder with a trailing separator: the folder of the
// user-scope INI file Qt would use for the organization, then the application
// name ($XDG_CONFIG_HOME or ~/.config, "/Quorvex/QuorvexCryptoProvider/").
QString qtxUserDataDir();
