#include "httplogging.h"

Q_LOGGING_CATEGORY(lcHttp, "qtx.http", QtInfoMsg)
