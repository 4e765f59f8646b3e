// The program's one name at run time: the window's caption, the error box's
// caption, and the section of the settings file.
#pragma once

inline constexpr char kProgramTitle[] = "Kestrune v0.3";
