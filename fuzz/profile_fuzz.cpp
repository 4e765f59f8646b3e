// Fuzz target: any text parses as a profile; a key that is set then reads
// back as set, and the other keys read the same before and after.
#include "platform/profile/Profile.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    profile::ProfileText original(text);
    std::string before, after, value;
    const bool had = original.find("Kestrune v0.3", "Recording Quality", before);

    profile::ProfileText changed(text);
    changed.set("Kestrune v0.3", "Recording Delay", "1");
    // What the change writes must read back the same after a round trip.
    profile::ProfileText reread(changed.text());
    if (!reread.find("Kestrune v0.3", "Recording Delay", value) || value != "1")
        std::abort();
    const bool has = reread.find("Kestrune v0.3", "Recording Quality", after);
    if (had != has || before != after)
        std::abort();
    return 0;
}
