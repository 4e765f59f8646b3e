// Fuzz target: a report line as --check and --from-report read it (reports
// are files a user hands them): any bytes are refused or read, every string
// read is written and read back the same, bytes that are not UTF-8
// included, and a line read makes a page.
#include "render/Json.h"
#include "render/ReportPage.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    render::ReportPage page("report.html");
    if (page.add(text) && page.html().empty())
        std::abort();
    std::map<std::string, std::string> strings;
    if (!render::jsonStrings(text, strings))
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
