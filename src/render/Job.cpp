// A job reads its song once, and names its outputs and tags from it.
#include "render/Job.h"

#include <cmath>

namespace render {
namespace {

// The song with its loop played as --loops or --loop-file asks: the job's
// song from now on.
void playLoop(const Request &request, Job &job) {
    std::optional<Loop> loop;
    const std::string why = findLoop(*job.song, request.loop ? &*request.loop : nullptr, loop);
    if (!why.empty()) {
        job.error = "its loop cannot be played: " + why;
        return;
    }
    if (!loop)
        return; // a song that does not loop plays once
    loop = alignedToBlocks(*loop, request.encoding.engineRate());
    // A loop file: the intro and two passes, the second to be kept.
    const int passes = request.loopFile ? 2 : request.loops;
    std::optional<std::int64_t> onIntoUs;
    if (request.loopFile)
        onIntoUs = 0;
    else if (request.fadeSeconds > 0)
        onIntoUs = std::llround(request.fadeSeconds * 1e6);
    const double lengthUs = (onIntoUs ? double(loop->startUs + *onIntoUs)
                                      : double(job.song->lengthUs - loop->lengthUs())) +
                            passes * loop->period();
    if (lengthUs > double(audio::kMaxSongLengthUs)) {
        job.error =
            "its loop played " + std::to_string(passes) + " times would last longer than 24 hours";
        return;
    }
    job.loop = loop;
    job.fadeSeconds = request.loopFile ? 0 : request.fadeSeconds;
    job.loopFile = request.loopFile;
    job.song =
        std::make_shared<const audio::MidiSong>(expandLoop(*job.song, *loop, passes, onIntoUs));
}

} // namespace

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
    if ((request.loops > 0 || request.loopFile) && job.song)
        playLoop(request, job);
    if (request.stems && job.song)
        job.stems = stemOutputsOf(request, *job.song, job.output);
    return job;
}

} // namespace render
