// MP3 encoding of the saved WAVE file by the outside encoder.
#include "app/U1.h"

void TF1::MP3Encode() {}
