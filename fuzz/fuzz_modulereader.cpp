// libFuzzer target for ModuleReader, the reader of the signature block appended
// to module libraries and to the version file.
//
// Input layout: byte 0 picks the mode (bit 0: module mode with PE headers and
// padding, else the plain version-file mode); the rest is the file, handed to
// the reader as an open descriptor exactly as the module loader does.

#include "fuzzsupport.h"
#include "modulereader.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The reader logs every step; none of it is wanted here.
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::FATAL);
    log4cpp::Category::getInstance("moduleTools").setPriority(log4cpp::Priority::FATAL);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *v_pData, size_t v_uiSize)
{
    if (v_uiSize < 1)
        return 0;
    const bool bPeMode = (v_pData[0] & 1) != 0;
    const size_t uiFileSize = v_uiSize - 1;
    const MemFile oFile("fuzz-module", v_pData + 1, uiFileSize);
    {
        const ModuleReader oReader(oFile.fd(), bPeMode);
        if (oReader.isOk()) {
            // What was cut out lies inside the file, and the block around the
            // signature takes at least its two size fields (a module-mode file
            // without a 0xFF marker among its last bytes is read without one).
            FUZZ_CHECK(oReader.getSignature().size() <= ModuleReader::kMaxExtraDataSize - 8);
            FUZZ_CHECK(size_t(oReader.getModuleData().size()) + size_t(oReader.getSignature().size()) + 16
                       <= uiFileSize);
        } else {
            FUZZ_CHECK(oReader.getModuleData().isEmpty() && oReader.getSignature().isEmpty());
        }
        // A random block never verifies against the built-in key.
        FUZZ_CHECK(!oReader.verify() || oReader.isOk());
    }
    return 0;
}
