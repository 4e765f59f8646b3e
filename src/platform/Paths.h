// Where the program's own files live. A portable program (its folder holds
// the templates and can be written: the build tree, a copy unpacked
// somewhere) keeps everything beside the executable. An installed one keeps
// the settings file and devices.ini in $XDG_CONFIG_HOME/Kestrune/ and a
// copy of the templates in $XDG_DATA_HOME/Kestrune/binlib/, where a run can
// rename them.
#pragma once

#include <stdexcept>
#include <string>

namespace paths {

/// A folder of the program's that cannot be prepared; what() names the
/// folder and the reason.
class PathError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The folder of the running executable, with a trailing "/".
std::string programFolder();

/// Whether everything stays beside the executable.
bool portable();

/// The folder of the settings file and devices.ini, with a trailing "/":
/// the program's folder, or $XDG_CONFIG_HOME/Kestrune/ (~/.config/Kestrune/).
std::string configFolder();

/// Makes the configuration folder if it is not there. Raises PathError.
void prepareConfigFolder();

/// The settings file, "Kestrune.ini".
std::string settingsFile();

/// The sound system's own configuration, "devices.ini".
std::string devicesFile();

/// The templates as shipped: binlib/ beside the executable, else the
/// installed share/kestrune/binlib/. With a trailing "/".
std::string shippedTemplateFolder();

/// The folder of the recording templates a run renames, with a trailing
/// "/": binlib/ beside a portable program, else the user's copy in
/// $XDG_DATA_HOME/Kestrune/binlib/, copied from the shipped ones when one
/// is missing. Raises PathError when the copy cannot be made.
std::string templateFolder();

/// The folder a program keeps its state in, with a trailing "/": the
/// program's folder when it is portable, else $XDG_STATE_HOME/Kestrune/
/// (~/.local/state/Kestrune/). It may not exist yet.
std::string stateFolder();

/// The user's home folder and the temporary folder ($TMPDIR, else /tmp),
/// each with a trailing "/".
std::string homeFolder();
std::string temporaryFolder();

/// Whether `path` names an existing folder, or an existing regular file
/// (symbolic links followed).
bool isFolder(const std::string &path);
bool isFile(const std::string &path);
/// Whether `a` and `b` name one existing file, however each is spelt.
bool sameFile(const std::string &a, const std::string &b);

} // namespace paths
