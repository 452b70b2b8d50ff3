// The window's language: kestrun.ini's Lang ("ru", "en", or empty to follow the environment)
// over the environment's, set for the shared texts and, for English, Qt's translation of the
// window's own installed.
#pragma once

#include <string>

#include "Text.h"

namespace kestrun {

// The settings file's Lang, as written there (empty when the key is missing).
std::string LangSetting();

// The language the settings file and the environment choose.
Lang WindowLang(const EnvReader& getenv = ProcessEnv);

// Makes lang the language of every text shown from now on: the shared table's and the
// window's. Call with the application up and before the window is built; may be called
// again (the tests switch).
void ApplyLanguage(Lang lang);

} // namespace kestrun
