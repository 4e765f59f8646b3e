// The one translator a program installs.
#include "platform/Texts.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<Translator> g_translator{nullptr};

} // namespace

void setTranslator(Translator translator) {
    g_translator = translator;
}

std::string translate(const char *context, const char *text) {
    const Translator translator = g_translator;
    return translator ? translator(context, text) : std::string(text);
}

} // namespace platform
