#pragma once

#include "qtxlogprivacy.h"

#include <QLoggingCategory>

// Qt messages of the HTTP layer. Debug messages (one or more per request) are
// off unless QT_LOGGING_RULES="qtx.http.debug=true" turns them on, so a busy
// server does not format and write them for every request; warnings and
// critical messages are on. Ids and parameter values pass through qtxLogId
// and qtxLogSecret as in the log file.
Q_DECLARE_LOGGING_CATEGORY(lcHttp)
