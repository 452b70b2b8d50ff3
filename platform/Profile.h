// Profile (INI) files: a section header line "[Name]" followed by "key=value" lines.
// Every call reads the file afresh and every write rewrites it whole, so a file edited by
// hand between two calls is seen as it stands. Lines the program does not know are kept.
// Section and key names match ignoring ASCII case and surrounding blanks; only the first
// section of a name counts, and in it the first line of a key. Lines starting with ';' or
// '#' are comments. A value loses its surrounding blanks and one pair of matching quotes.
// A file that cannot be read (missing, a folder, no permission) reads as empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrun {

// The key's value as a signed decimal integer ("-40" reads as -40). def when the file,
// the section or the key is absent, or the value is empty, not a plain decimal integer
// ("12abc", "0x10", "1e3") or outside the signed 32-bit range.
int32_t ProfileGetInt(const std::string& section, const std::string& key, int32_t def,
                      const std::string& file);

// The key's text, cut to its first maxChars bytes; def (uncut) when the file, the section
// or the key is absent. Every text ProfileWriteString wrote is read back as written.
std::string ProfileGetString(const std::string& section, const std::string& key,
                             const std::string& def, std::size_t maxChars, const std::string& file);

// Sets the key's value, creating the file, the section or the key when missing and keeping
// every other line as it stands; a new key goes at the end of its section. The file is
// replaced only once the new version is complete. False when it could not be written or
// read (its lines would be lost), or when a name cannot be stored: empty, a line break, a
// key with '=' or starting with ';', '#' or '[', a section with ']'. A value is stored up
// to its first line break.
bool ProfileWriteString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file);

// The same two on a file's contents held in memory, for checks that must not touch a
// disk: what ProfileGetString reads from a file holding text, and in *result the text
// ProfileWriteString leaves in such a file (false, *result untouched, where it refuses).
std::string ProfileGetStringInText(std::string_view text, const std::string& section,
                                   const std::string& key, const std::string& def,
                                   std::size_t maxChars);
bool ProfileWriteStringInText(std::string_view text, const std::string& section,
                              const std::string& key, const std::string& value,
                              std::string* result);

} // namespace kestrun
