// The settings file: a value written reads back as written (up to a line break), no other
// line of the file changes, and a refused write leaves the file byte for byte.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const kestrun::fuzz::ScratchFile scratch("profile.ini");
    const std::string& path = scratch.path();
    FuzzedDataProvider in(data, size);
    const std::string section = in.ConsumeRandomLengthString(24);
    const std::string key = in.ConsumeRandomLengthString(24);
    const std::string value = in.ConsumeRandomLengthString(48);
    const std::string otherSection = in.ConsumeRandomLengthString(24);
    const std::string otherKey = in.ConsumeRandomLengthString(24);
    const std::string before = in.ConsumeRemainingBytesAsString();
    FUZZ_CHECK(kestrun::fuzz::WriteWhole(path, before));

    const std::string def = "\x01(none)";
    const std::string otherBefore =
        kestrun::ProfileGetString(otherSection, otherKey, def, SIZE_MAX, path);
    const bool ok = kestrun::ProfileWriteString(section, key, value, path);
    std::string after;
    FUZZ_CHECK(kestrun::fuzz::ReadWhole(path, &after));
    if (!ok) {
        FUZZ_CHECK(after == before);
        return 0;
    }

    // Read back as written, up to the first line break.
    const std::string stored = value.substr(0, value.find_first_of("\r\n"));
    FUZZ_CHECK(kestrun::ProfileGetString(section, key, def, SIZE_MAX, path) == stored);
    FUZZ_CHECK(kestrun::ProfileGetString(section, key, def, 3, path) == stored.substr(0, 3));

    // Every other line kept, in its order.
    const std::string_view s = Trim(section);
    const std::string_view k = Trim(key);
    FUZZ_CHECK(OtherLines(after, s, k) == OtherLines(before, s, k));

    // Any other key reads as it did.
    if (!(SameName(Trim(otherSection), s) && SameName(Trim(otherKey), k))) {
        FUZZ_CHECK(kestrun::ProfileGetString(otherSection, otherKey, def, SIZE_MAX, path) ==
                   otherBefore);
    }

    // Writing the same again changes nothing.
    FUZZ_CHECK(kestrun::ProfileWriteString(section, key, value, path));
    std::string again;
    FUZZ_CHECK(kestrun::fuzz::ReadWhole(path, &again));
    FUZZ_CHECK(again == after);
    return 0;
}
