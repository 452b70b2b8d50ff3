// The settings file, on its text in memory: a value written reads back as written (up to a
// line break), no other line changes, only names that cannot be stored are refused; and a
// real file, now and then, changes as its text does and not at all on a refusal.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <string_view>
#include <vector>

#include "FuzzUtil.h"
#include "Profile.h"
#include "ProfileNames.h"

namespace {

using kestrun::profile::SameName;
using kestrun::profile::Trim;

// The file's lines, each with its line end.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::size_t n = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(0, n));
        text.remove_prefix(n);
    }
    return lines;
}

std::string_view Text(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// The lines a write of section/key may add, change or take as its own: blank lines,
// headers of the section, and lines of the key (anywhere: a write never looks at which
// section holds a line to tell whether to keep it). All others must come through as
// they were, in their order; the last may gain a line end.
std::vector<std::string> OtherLines(std::string_view file, std::string_view section,
                                    std::string_view key) {
    std::vector<std::string> kept;
    bool first = true;
    for (std::string_view line : Lines(file)) {
        std::string_view t = Text(line);
        if (first && t.substr(0, 3) == "\xEF\xBB\xBF") {
            t = t.substr(3);
        }
        first = false;
        t = Trim(t);
        const std::size_t close = t.find(']');
        const bool header = !t.empty() && t.front() == '[' && close != std::string_view::npos;
        if (t.empty() || (header && SameName(Trim(t.substr(1, close - 1)), section)) ||
            (!header && t.front() != ';' && t.front() != '#' &&
             t.find('=') != std::string_view::npos &&
             SameName(Trim(t.substr(0, t.find('='))), key))) {
            continue;
        }
        kept.emplace_back(Text(line));
    }
    return kept;
}

// The names a write refuses: empty once trimmed, a line break, a section with ']', a key
// with '=' or starting with ';', '#' or '['.
bool Storable(std::string_view section, std::string_view key) {
    return !section.empty() && !key.empty() &&
           section.find_first_of("]\r\n") == std::string_view::npos &&
           key.find_first_of("=\r\n") == std::string_view::npos && key.front() != ';' &&
           key.front() != '#' && key.front() != '[';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using kestrun::ProfileGetStringInText;
    using kestrun::ProfileWriteStringInText;
    // One input in 64 also goes through a real file, which must come out as the text does.
    // Chosen by a hash of the whole input: a byte of its own would let the fuzzer, which
    // keeps inputs that reach new code, send most inputs down the slow path.
    uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 16777619u;
    }
    const bool throughFile = hash % 64 == 0;
    FuzzedDataProvider in(data, size);
    const std::string section = in.ConsumeRandomLengthString(24);
    const std::string key = in.ConsumeRandomLengthString(24);
    const std::string value = in.ConsumeRandomLengthString(48);
    const std::string otherSection = in.ConsumeRandomLengthString(24);
    const std::string otherKey = in.ConsumeRandomLengthString(24);
    const std::string before = in.ConsumeRemainingBytesAsString();
    const std::string_view s = Trim(section);
    const std::string_view k = Trim(key);

    const std::string def = "\x01(none)";
    std::string after = "\x02(untouched)";
    const bool ok = ProfileWriteStringInText(before, section, key, value, &after);
    FUZZ_CHECK(ok == Storable(s, k));
    if (throughFile) {
        static const kestrun::fuzz::ScratchFile scratch("profile.ini");
        const std::string& path = scratch.path();
        FUZZ_CHECK(kestrun::fuzz::WriteWhole(path, before));
        FUZZ_CHECK(kestrun::ProfileGetString(otherSection, otherKey, def, SIZE_MAX, path) ==
                   ProfileGetStringInText(before, otherSection, otherKey, def, SIZE_MAX));
        FUZZ_CHECK(kestrun::ProfileWriteString(section, key, value, path) == ok);
        std::string inFile;
        FUZZ_CHECK(kestrun::fuzz::ReadWhole(path, &inFile));
        // A refused write leaves the file byte for byte.
        FUZZ_CHECK(inFile == (ok ? after : before));
    }
    if (!ok) {
        FUZZ_CHECK(after == "\x02(untouched)");
        return 0;
    }

    // Read back as written, up to the first line break.
    const std::string stored = value.substr(0, value.find_first_of("\r\n"));
    FUZZ_CHECK(ProfileGetStringInText(after, section, key, def, SIZE_MAX) == stored);

    // Every other line kept, in its order.
    FUZZ_CHECK(OtherLines(after, s, k) == OtherLines(before, s, k));

    // Any other key reads as it did.
    if (!(SameName(Trim(otherSection), s) && SameName(Trim(otherKey), k))) {
        FUZZ_CHECK(ProfileGetStringInText(after, otherSection, otherKey, def, SIZE_MAX) ==
                   ProfileGetStringInText(before, otherSection, otherKey, def, SIZE_MAX));
    }

    // Writing the same again changes nothing.
    std::string again;
    FUZZ_CHECK(ProfileWriteStringInText(after, section, key, value, &again));
    FUZZ_CHECK(again == after);
    return 0;
}
