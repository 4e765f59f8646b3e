// A job reads its song once, and names its outputs and tags from it.
#include "render/Job.h"

namespace render {

Job makeJob(const Request &request, const std::string &input) {
    Job job;
    job.input = input;
    job.output = outputOf(request, input);
    try {
        job.song = std::make_shared<const audio::MidiSong>(audio::readMidiFile(input));
    } catch (const std::exception &) {
        // The sequencer reads it again when it plays, and says what is wrong.
    }
    job.tags = tagsOf(input, job.song.get(), request.textEncoding);
    if (request.stems && job.song)
        job.stems = stemOutputsOf(request, *job.song, job.output);
    return job;
}

} // namespace render
