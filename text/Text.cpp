// The language choice and the lookup of a text's translation.
#include "Text.h"

#include <atomic>
#include <cstdlib>
#include <unordered_map>

namespace kestrun {

// The table itself, in Texts.cpp.
extern const TextPair TEXTS[];
extern const std::size_t TEXT_COUNT;

namespace {

std::atomic<Lang> g_lang{Lang::Ru};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

const std::unordered_map<std::string_view, const char*>& English() {
    static const auto* const table = [] {
        auto* map = new std::unordered_map<std::string_view, const char*>;
        map->reserve(TEXT_COUNT);
        for (std::size_t i = 0; i < TEXT_COUNT; ++i) {
            map->emplace(TEXTS[i].ru, TEXTS[i].en);
        }
        return map;
    }();
    return *table;
}

} // namespace

std::optional<Lang> ParseLang(std::string_view name) {
    if (name.size() < 2 ||
        (name.size() > 2 && std::string_view("_.@-").find(name[2]) == std::string_view::npos)) {
        return std::nullopt;
    }
    const char first = Lower(name[0]);
    const char second = Lower(name[1]);
    if (first == 'r' && second == 'u') {
        return Lang::Ru;
    }
    if (first == 'e' && second == 'n') {
        return Lang::En;
    }
    return std::nullopt;
}

const char* LangName(Lang lang) {
    return lang == Lang::Ru ? "ru" : "en";
}

Lang LangFromEnvironment(const EnvReader& getenv) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string_view list(value);
        if (std::string_view(name) != "LANGUAGE") {
            return list.rfind("ru", 0) == 0 ? Lang::Ru : Lang::En;
        }
        // Languages in order of preference: the first one we have decides.
        while (!list.empty()) {
            const std::size_t colon = list.find(':');
            if (const std::optional<Lang> lang = ParseLang(list.substr(0, colon))) {
                return *lang;
            }
            list = colon == std::string_view::npos ? std::string_view{} : list.substr(colon + 1);
        }
        return Lang::En;
    }
    return Lang::En;
}

const char* ProcessEnv(const char* name) {
    return std::getenv(name);
}

Lang ChooseLang(std::string_view chosen, const EnvReader& getenv) {
    if (const std::optional<Lang> lang = ParseLang(chosen); lang && chosen.size() == 2) {
        return *lang;
    }
    return LangFromEnvironment(getenv);
}

void SetLang(Lang lang) {
    g_lang.store(lang, std::memory_order_relaxed);
}

Lang CurrentLang() {
    return g_lang.load(std::memory_order_relaxed);
}

const char* Tr(const char* russian, Lang lang) {
    if (lang == Lang::Ru) {
        return russian;
    }
    const auto& english = English();
    const auto found = english.find(russian);
    return found != english.end() ? found->second : russian;
}

const char* Tr(const char* russian) {
    return Tr(russian, CurrentLang());
}

std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(pattern.size() + 16 * args.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
            const auto index = static_cast<std::size_t>(pattern[i + 1] - '1');
            if (index < args.size()) {
                out += *(args.begin() + index);
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

void ForEachText(const std::function<void(const TextPair&)>& visit) {
    for (std::size_t i = 0; i < TEXT_COUNT; ++i) {
        visit(TEXTS[i]);
    }
}

} // namespace kestrun
