// Fuzz target: a --files-from list, one file a line or NUL-separated: any
// bytes parse into names without their separator, read back alike.
#include "render/Request.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    for (const bool nul : {false, true}) {
        const char separator = nul ? '\0' : '\n';
        const std::vector<std::string> files = render::parseList(bytes, nul);
        std::string written;
        for (const std::string &file : files) {
            if (file.empty() || file.find(separator) != std::string::npos)
                std::abort();
            written += file + separator;
        }
        if (render::parseList(written, nul) != files)
            std::abort();
    }
    return 0;
}
