// Fuzz target: a report line as --check reads it (reports are files a user
// hands it): any bytes are refused or read, and every string read is
// written and read back the same, bytes that are not UTF-8 included.
#include "render/Json.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::map<std::string, std::string> strings;
    if (!render::jsonStrings(std::string(reinterpret_cast<const char *>(data), size), strings))
        return 0;
    for (const auto &[key, value] : strings) {
        std::map<std::string, std::string> again;
        if (!render::jsonStrings("{" + render::jsonText(key) + ":" + render::jsonText(value) + "}",
                                 again) ||
            again.size() != 1 || again.begin()->first != key || again.begin()->second != value)
            std::abort();
    }
    return 0;
}
