// Fuzz target: the ledger of in-progress recordings, a file of the user's:
// any bytes parse into whole paths, which are written and read back alike.
#include "recording/Interrupted.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::vector<std::string> files =
        ParseLedger(std::string(reinterpret_cast<const char *>(data), size));
    std::string written;
    for (const std::string &file : files) {
        if (file.empty() || file[0] != '/' || file.find('\0') != std::string::npos)
            std::abort();
        written += file + '\0';
    }
    if (ParseLedger(written) != files)
        std::abort();
    return 0;
}
