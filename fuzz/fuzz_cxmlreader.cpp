// libFuzzer target for CXmlReader, the reader of module command files.
//
// The input is the whole file; the reader opens it by name, here the name of an
// in-memory file. Invariants: the tables only name commands the file declared,
// and a second reader over the same bytes gives the same outcome.

#include "cxmlreader.h"
#include "fuzzsupport.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <QString>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::FATAL);
    log4cpp::Category::getInstance("moduleTools").setPriority(log4cpp::Priority::FATAL);
    log4cpp::Category::getInstance("qtx").setPriority(log4cpp::Priority::FATAL);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *v_pData, size_t v_uiSize)
{
    const MemFile oFile("fuzz-commands", v_pData, v_uiSize);
    const QString oPath = QStringLiteral("/proc/self/fd/") + QString::number(oFile.fd());
    {
        CXmlReader oFirst;
        const bool bFirst = oFirst.ReadFile(oPath);
        CXmlReader oSecond;
        FUZZ_CHECK(oSecond.ReadFile(oPath) == bFirst);
        FUZZ_CHECK(oFirst.GetCommands() == oSecond.GetCommands());
        FUZZ_CHECK(oFirst.GetRequestParams() == oSecond.GetRequestParams());
        // Parameters are recorded only for commands met in the file.
        for (const QString &oName : oFirst.GetRequestParams().uniqueKeys())
            FUZZ_CHECK(oFirst.GetCommands().contains(oName));
    }
    return 0;
}
