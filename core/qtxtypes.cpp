#include "qtxtypes.h"

void registerQtxMetaTypes()
{
    qRegisterMetaType<tpfun>("tpfun");
    qRegisterMetaType<DllModule *>("DllModule *");
    qRegisterMetaType<tpInitFun>("tpInitFun");
    qRegisterMetaType<tRequestMap>("tRequestMap");
    // QMap registrations also make the map iterable as an associative container.
    qRegisterMetaType<tSessionParamsMap>("tSessionParamsMap");
    qRegisterMetaType<tResultType>("tResultType");
}
