// Builds a SoundFont 2 file for tests: one preset of one looped square
// wave, so that where a note comes from can be heard in its samples.
#pragma once

#include "support/MidiWriter.h"

namespace test {

/// A SoundFont whose only preset (bank `bank`, program `program`) plays a
/// looped full-scale square wave of 100 frames a period at key 60, at
/// 44100 Hz: 441 Hz.
Bytes squareSoundFont(int bank, int program);

} // namespace test
