// The program's two languages. Every text is written in Russian where it is used and wrapped
// in Tr(), which gives it in the language chosen for the run; the English of each lives in
// one table (Texts.cpp) that the window, the worker, the engine and kestrun-cli share.
// Standard C++ only, so the engine and the command line can use it without Qt.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

enum class Lang { Ru, En };

// "ru" or "en" (any case; a region or encoding after it is allowed: "ru_RU.UTF-8"); nothing
// for anything else, the empty text included.
std::optional<Lang> ParseLang(std::string_view name);
// The two-letter name ParseLang takes.
const char* LangName(Lang lang);

// Reads one environment variable: null when it is not set.
using EnvReader = std::function<const char*(const char*)>;
// The process's own environment, the reader the programs use (tests give their own).
const char* ProcessEnv(const char* name);

// The language the environment asks for, as desktop programs read it: the first of LANGUAGE
// (a list, "ru:en", of which the first language we have counts), LC_ALL, LC_MESSAGES and LANG
// that is set and not empty. Russian for a value starting with "ru", English otherwise and
// when none is set. Only the variables are read: the locale need not be installed.
Lang LangFromEnvironment(const EnvReader& getenv = ProcessEnv);

// An explicit choice ("ru", "en") wins; an empty or unknown one leaves it to the
// environment.
Lang ChooseLang(std::string_view chosen, const EnvReader& getenv = ProcessEnv);

// The language of every Tr() from now on; Russian until set. Set once at start, before any
// thread that writes texts.
void SetLang(Lang lang);
Lang CurrentLang();

// The text in the current language. A text missing from the table comes back as it was
// given (a test keeps the table complete).
const char* Tr(const char* russian);
// In a given language, whatever the current one.
const char* Tr(const char* russian, Lang lang);

// A text with its %1..%9 replaced by the arguments, in order; a %N without an argument
// stays as it is. Patterns come from Tr(), so each language can place the values where
// its grammar wants them.
std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> args);

// Every pair of the table, for the tests that keep it whole.
struct TextPair {
    const char* ru;
    const char* en;
};
void ForEachText(const std::function<void(const TextPair&)>& visit);

} // namespace kestrun
