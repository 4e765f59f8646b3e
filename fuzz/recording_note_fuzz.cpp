// Fuzz target: the note beside an in-progress file, as a later run reads it
// after a crash: any bytes parse, and what they give reads back the same.
#include "recording/Interrupted.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const RecordingNote note =
        ParseRecordingNote(std::string(reinterpret_cast<const char *>(data), size));
    for (const std::string *field : {&note.output, &note.song, &note.started})
        if (field->find('\n') != std::string::npos)
            std::abort();
    const RecordingNote again = ParseRecordingNote(RecordingNoteText(note));
    if (again.output != note.output || again.song != note.song || again.started != note.started)
        std::abort();
    return 0;
}
