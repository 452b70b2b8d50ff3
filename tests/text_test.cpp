// The two languages: which one a run takes from the environment and its overrides, the
// filling of a text's values, and that every Russian text in the program's sources has its
// English, in the shared table or in the window's Qt translation.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Text.h"

namespace kestrun {
namespace {

using Env = std::map<std::string, std::string>;

EnvReader Reader(const Env& env) {
    return [&env](const char* name) -> const char* {
        const auto found = env.find(name);
        return found == env.end() ? nullptr : found->second.c_str();
    };
}

TEST(Lang, FromTheEnvironmentAsDesktopProgramsRead) {
    const struct {
        Env env;
        Lang expected;
    } rows[] = {
        {{}, Lang::En},
        {{{"LANG", "ru_RU.UTF-8"}}, Lang::Ru},
        {{{"LANG", "en_US.UTF-8"}}, Lang::En},
        {{{"LANG", "de_DE.UTF-8"}}, Lang::En},
        {{{"LANG", "C.UTF-8"}}, Lang::En},
        {{{"LANG", "ru"}}, Lang::Ru},
        // LC_MESSAGES over LANG, LC_ALL over both.
        {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "ru_RU.UTF-8"}}, Lang::Ru},
        {{{"LANG", "ru_RU.UTF-8"}, {"LC_MESSAGES", "en_GB.UTF-8"}}, Lang::En},
        {{{"LC_ALL", "ru_UA.UTF-8"}, {"LC_MESSAGES", "en_GB.UTF-8"}}, Lang::Ru},
        {{{"LC_ALL", "C"}, {"LANG", "ru_RU.UTF-8"}}, Lang::En},
        // Set but empty is not set.
        {{{"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", "ru_RU.UTF-8"}}, Lang::Ru},
        // LANGUAGE first; of its list, the first language there is a translation for.
        {{{"LANGUAGE", "ru"}, {"LC_ALL", "en_US.UTF-8"}}, Lang::Ru},
        {{{"LANGUAGE", "en_GB:ru"}, {"LANG", "ru_RU.UTF-8"}}, Lang::En},
        {{{"LANGUAGE", "uk:ru:en"}, {"LANG", "uk_UA.UTF-8"}}, Lang::Ru},
        {{{"LANGUAGE", "fr:de"}, {"LANG", "ru_RU.UTF-8"}}, Lang::En},
        {{{"LANGUAGE", ""}, {"LANG", "ru_RU.UTF-8"}}, Lang::Ru},
    };
    for (const auto& row : rows) {
        std::string described;
        for (const auto& [name, value] : row.env) {
            described += name + "=" + value + " ";
        }
        EXPECT_EQ(LangFromEnvironment(Reader(row.env)), row.expected) << described;
    }
}

TEST(Lang, AnExplicitChoiceOverridesTheEnvironment) {
    const Env russian{{"LANG", "ru_RU.UTF-8"}};
    const Env english{{"LANG", "en_US.UTF-8"}};
    EXPECT_EQ(ChooseLang("en", Reader(russian)), Lang::En);
    EXPECT_EQ(ChooseLang("EN", Reader(russian)), Lang::En);
    EXPECT_EQ(ChooseLang("ru", Reader(english)), Lang::Ru);
    // Empty or unknown: the environment decides.
    EXPECT_EQ(ChooseLang("", Reader(russian)), Lang::Ru);
    EXPECT_EQ(ChooseLang("", Reader(english)), Lang::En);
    EXPECT_EQ(ChooseLang("de", Reader(russian)), Lang::Ru);
    EXPECT_EQ(ChooseLang("english", Reader(russian)), Lang::Ru);
    EXPECT_FALSE(ParseLang("r"));
    EXPECT_EQ(ParseLang("ru_RU.UTF-8"), Lang::Ru);
}

TEST(Text, TrGivesTheLanguageAskedFor) {
    EXPECT_STREQ(Tr("файл не найден", Lang::En), "file not found");
    EXPECT_STREQ(Tr("файл не найден", Lang::Ru), "файл не найден");
    // Not in the table: as given, in either language.
    EXPECT_STREQ(Tr("нет такого текста", Lang::En), "нет такого текста");
    SetLang(Lang::En);
    EXPECT_STREQ(Tr("файл пуст"), "the file is empty");
    SetLang(Lang::Ru);
    EXPECT_STREQ(Tr("файл пуст"), "файл пуст");
}

TEST(Text, FillPutsEachValueInItsPlace) {
    EXPECT_EQ(Fill("%2 of %1", {"a", "b"}), "b of a");
    EXPECT_EQ(Fill("%1%1", {"x"}), "xx");
    // A value is never read as a pattern, and a %N without a value stays.
    EXPECT_EQ(Fill("%1 and %2", {"%2"}), "%2 and %2");
    EXPECT_EQ(Fill("100% sure, 50%", {"x"}), "100% sure, 50%");
    EXPECT_EQ(Fill("%", {}), "%");
}

// ---- every text in both languages ----

bool HasCyrillic(const std::string& text) {
    // Cyrillic letters are U+0400..U+04FF: UTF-8 lead bytes 0xD0..0xD3.
    for (const unsigned char c : text) {
        if (c >= 0xD0 && c <= 0xD3) {
            return true;
        }
    }
    return false;
}

// The %1..%9 a text uses.
std::set<char> Placeholders(const std::string& text) {
    std::set<char> found;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') {
            found.insert(text[i + 1]);
        }
    }
    return found;
}

TEST(Text, EveryPairOfTheTableIsWhole) {
    std::set<std::string> seen;
    ForEachText([&](const TextPair& pair) {
        const std::string ru = pair.ru;
        const std::string en = pair.en;
        EXPECT_TRUE(HasCyrillic(ru)) << "needs no translation: " << ru;
        EXPECT_FALSE(en.empty()) << ru;
        EXPECT_FALSE(HasCyrillic(en)) << "not English: " << en;
        EXPECT_EQ(Placeholders(ru), Placeholders(en)) << ru << " / " << en;
        EXPECT_TRUE(seen.insert(ru).second) << "twice: " << ru;
    });
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The string literals of C++ source text, adjacent ones joined and escapes undone; comments
// and character literals skipped.
std::vector<std::string> StringLiterals(const std::string& s) {
    std::vector<std::string> literals;
    std::string joined;
    bool open = false; // joined holds literals that only space has followed so far
    std::size_t i = 0;
    const auto close = [&] {
        if (open) {
            literals.push_back(joined);
        }
        open = false;
        joined.clear();
    };
    while (i < s.size()) {
        const char c = s[i];
        if (s.compare(i, 2, "//") == 0) {
            i = s.find('\n', i);
            i = i == std::string::npos ? s.size() : i;
        } else if (s.compare(i, 2, "/*") == 0) {
            i = s.find("*/", i + 2);
            i = i == std::string::npos ? s.size() : i + 2;
        } else if (c == '\'') {
            close();
            for (++i; i < s.size() && s[i] != '\''; ++i) {
                i += s[i] == '\\' ? 1 : 0;
            }
            ++i;
        } else if (c == '"') {
            open = true;
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] != '\\') {
                    joined += s[i];
                    continue;
                }
                ++i;
                joined += s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i];
            }
            ++i;
        } else {
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
                close();
            }
            ++i;
        }
    }
    close();
    return literals;
}

std::string XmlText(std::string text) {
    const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto& [entity, plain] : entities) {
        for (std::size_t at = text.find(entity); at != std::string::npos;
             at = text.find(entity, at + 1)) {
            text.replace(at, std::string_view(entity).size(), plain);
        }
    }
    return text;
}

// The window's Qt translation: each source text with its English.
std::map<std::string, std::string> QtTranslations(const std::string& ts) {
    std::map<std::string, std::string> translations;
    for (std::size_t at = ts.find("<message>"); at != std::string::npos;
         at = ts.find("<message>", at + 1)) {
        const std::size_t end = ts.find("</message>", at);
        const std::string message = ts.substr(at, end - at);
        const auto between = [&message](const std::string& open, const std::string& close) {
            const std::size_t from = message.find(open);
            if (from == std::string::npos) {
                return std::string("\x01missing");
            }
            const std::size_t start = message.find('>', from) + 1;
            return XmlText(message.substr(start, message.find(close, start) - start));
        };
        const std::string source = between("<source>", "</source>");
        EXPECT_EQ(message.find("type=\""), std::string::npos)
            << "unfinished, vanished or obsolete: " << source;
        translations[source] = between("<translation", "</translation>");
    }
    return translations;
}

TEST(Text, EveryRussianTextOfTheProgramHasItsEnglish) {
    const std::filesystem::path root = KESTRUN_SOURCE_DIR;
    const std::map<std::string, std::string> qt =
        QtTranslations(ReadFile(root / "shell" / "translations" / "kestrun_en.ts"));
    ASSERT_FALSE(qt.empty());
    for (const auto& [source, english] : qt) {
        EXPECT_FALSE(english.empty()) << source;
        EXPECT_FALSE(HasCyrillic(english)) << "not English: " << english;
        EXPECT_EQ(Placeholders(source), Placeholders(english)) << source;
    }

    std::set<std::string> table;
    ForEachText([&table](const TextPair& pair) { table.insert(pair.ru); });
    std::size_t checked = 0;
    for (const char* folder : {"engine", "speech", "worker", "platform", "cli", "shell"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root / folder)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h") {
                continue;
            }
            for (const std::string& literal : StringLiterals(ReadFile(entry.path()))) {
                if (!HasCyrillic(literal)) {
                    continue;
                }
                ++checked;
                EXPECT_TRUE(table.count(literal) != 0 || qt.count(literal) != 0)
                    << entry.path().lexically_relative(root).string() << ": \"" << literal
                    << "\" has no English";
            }
        }
    }
    // The scan found the program's texts at all.
    EXPECT_GT(checked, 100u);
}

} // namespace
} // namespace kestrun
