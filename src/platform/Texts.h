// The program's own texts in the user's language: a front end with
// translations installs its translator, and the texts of the layers below it
// pass through it. Without one they stay as they are written.
#pragma once

#include <string>

namespace platform {

using Translator = std::string (*)(const char *context, const char *text);

/// The translator from now on (null: none).
void setTranslator(Translator translator);

/// `text` of `context` in the user's language.
std::string translate(const char *context, const char *text);

} // namespace platform
