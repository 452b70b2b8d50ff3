// Profile (INI) files over POSIX: the line parser, the look-up behind both readers, and the
// single pass that copies a file into its replacement while setting one key.
#include "Profile.h"
#include "ProfileNames.h"

#include "File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string_view>

namespace kestrun {
namespace {

// Output is gathered into writes of about this size rather than one write per line.
constexpr std::size_t WRITE_CHUNK_BYTES = 1 << 16;
constexpr mode_t NEW_FILE_MODE = 0666; // narrowed by the umask, as for any created file
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

using profile::IsBlank;
using profile::SameName;
using profile::Trim;

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// Names the caller passes must survive being written as a line of their own and parsed
// back: a key holding '=' or a section holding ']' would be cut short, a leading ';' or
// '[' would turn the line into a comment or a header, and a line break would let the name
// plant lines of its own in the file.
bool ValidSection(std::string_view name) {
    return !name.empty() && name.find_first_of("]\r\n") == std::string_view::npos;
}

bool ValidKey(std::string_view name) {
    return !name.empty() && name.find_first_of("=\r\n") == std::string_view::npos &&
           name.front() != ';' && name.front() != '#' && name.front() != '[';
}

enum class LineKind { OTHER, HEADER, KEY };

struct ParsedLine {
    LineKind kind = LineKind::OTHER;
    std::string_view name; // the section of a header, the key of a key line
    std::string_view value;
    std::size_t textSize = 0; // bytes before the line end ("\n", "\r\n", or none at EOF)
};

// line holds one line as read, its '\n' included when it has one.
ParsedLine ParseLine(std::string_view line, bool first) {
    ParsedLine parsed;
    std::string_view text = line;
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    parsed.textSize = text.size();
    // Editors on Windows like to start a UTF-8 file with a byte order mark.
    if (first && text.substr(0, UTF8_BOM.size()) == UTF8_BOM) {
        text.remove_prefix(UTF8_BOM.size());
    }
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') {
        return parsed;
    }
    const std::size_t close = trimmed.find(']');
    if (trimmed.front() == '[' && close != std::string_view::npos) {
        parsed.kind = LineKind::HEADER;
        parsed.name = Trim(trimmed.substr(1, close - 1));
        return parsed;
    }
    const std::size_t eq = trimmed.find('=');
    if (eq != std::string_view::npos) {
        parsed.kind = LineKind::KEY;
        parsed.name = Trim(trimmed.substr(0, eq));
        parsed.value = Trim(trimmed.substr(eq + 1));
        if (parsed.value.size() >= 2 && IsQuote(parsed.value.front()) &&
            parsed.value.back() == parsed.value.front()) {
            parsed.value = parsed.value.substr(1, parsed.value.size() - 2);
        }
    }
    return parsed;
}

// The lines of a file, each of any length, read with no more than one line in memory.
class LineReader {
public:
    ~LineReader() {
        if (stream_ != nullptr) {
            std::fclose(stream_);
        }
        std::free(line_);
    }

    // Only a plain file: a folder cannot be read, and a device or a pipe might never end.
    bool Open(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            (stream_ = ::fdopen(fd, "r")) != nullptr) {
            return true;
        }
        ::close(fd);
        errno = EINVAL; // not ENOENT: there is something by that name
        return false;
    }

    // The next line, its '\n' included; false at the end of the file or on an error.
    bool Next(std::string_view* line) {
        const ssize_t got = ::getline(&line_, &capacity_, stream_);
        if (got < 0) {
            return false;
        }
        *line = std::string_view(line_, static_cast<std::size_t>(got));
        return true;
    }

    bool Failed() const { return std::ferror(stream_) != 0; }

private:
    std::FILE* stream_ = nullptr;
    char* line_ = nullptr;
    std::size_t capacity_ = 0;
};

// The lines of a file's contents held in memory, as LineReader would give them.
class TextLines {
public:
    explicit TextLines(std::string_view text) : text_(text) {}

    bool Next(std::string_view* line) {
        if (text_.empty()) {
            return false;
        }
        const std::size_t end = text_.find('\n');
        const std::size_t n = end == std::string_view::npos ? text_.size() : end + 1;
        *line = text_.substr(0, n);
        text_.remove_prefix(n);
        return true;
    }

    bool Failed() const { return false; }

private:
    std::string_view text_;
};

// The key's value (quotes already removed); false when the section or the key is not
// there. Only the first section of a name counts, and in it the first such key.
template <class Lines>
bool LookUpIn(Lines* reader, std::string_view wantSection, std::string_view wantKey,
              std::string* value) {
    bool inSection = false;
    bool seenSection = false;
    std::string_view line;
    for (bool first = true; reader->Next(&line); first = false) {
        const ParsedLine parsed = ParseLine(line, first);
        if (parsed.kind == LineKind::HEADER) {
            if (seenSection) {
                return false;
            }
            inSection = seenSection = SameName(parsed.name, wantSection);
        } else if (inSection && parsed.kind == LineKind::KEY && SameName(parsed.name, wantKey)) {
            value->assign(parsed.value);
            return true;
        }
    }
    return false;
}

// As LookUpIn, on the file; false too when the file cannot be read or a name could never
// have been written.
bool LookUp(const std::string& section, const std::string& key, const std::string& file,
            std::string* value) {
    const std::string_view wantSection = Trim(section);
    const std::string_view wantKey = Trim(key);
    LineReader reader;
    return ValidSection(wantSection) && ValidKey(wantKey) && reader.Open(file) &&
           LookUpIn(&reader, wantSection, wantKey, value);
}

// A value as ProfileGetString gives it: cut to maxChars.
std::string CutValue(std::string value, std::size_t maxChars) {
    if (value.size() > maxChars) {
        value.resize(maxChars);
    }
    return value;
}

// The line that stores value, without its line end. A value must come back as it went
// in, so one with blanks at either end or a quote at both is put inside double quotes,
// which the reader takes off again.
std::string KeyLine(std::string_view key, std::string_view value) {
    // A line break cannot be stored: the reader would end the value there and take what
    // follows for lines of their own, which could be keys or headers the caller never set.
    value = value.substr(0, value.find_first_of("\r\n"));
    const bool quote =
        !value.empty() &&
        (IsBlank(value.front()) || IsBlank(value.back()) ||
         (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()));
    std::string line(key);
    line += '=';
    if (quote) {
        line += '"';
    }
    line += value;
    if (quote) {
        line += '"';
    }
    return line;
}

// Makes a file that did not exist; if it cannot be written in full it is removed again.
bool WriteNewFile(const std::string& path, const std::string& contents) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, NEW_FILE_MODE);
    if (fd < 0) {
        return false;
    }
    const bool written = WriteAll(fd, contents.data(), contents.size());
    // close() is where some file systems report the write errors they deferred.
    if (::close(fd) != 0 || !written) {
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

// Collects output and hands it to the replacement in large pieces.
class ReplacementWriter {
public:
    explicit ReplacementWriter(FileReplacement* target) : target_(target) {}

    bool Put(std::string_view bytes) {
        buffer_ += bytes;
        return buffer_.size() < WRITE_CHUNK_BYTES || Flush();
    }

    bool Flush() {
        const bool ok = target_->Write(buffer_.data(), buffer_.size());
        buffer_.clear();
        return ok;
    }

private:
    FileReplacement* target_;
    std::string buffer_;
};

// Output gathered in memory.
class StringWriter {
public:
    explicit StringWriter(std::string* text) : text_(text) {}
    bool Put(std::string_view bytes) {
        text_->append(bytes);
        return true;
    }

private:
    std::string* text_;
};

// Copies the existing lines to out, changing or adding one key line. Lines after the
// section's last key (blank lines, comments) are held back until it is known whether the
// new key has to go before them.
template <class Lines, class Out>
bool RewriteLines(Lines* reader, Out* out, std::string_view section, std::string_view keyName,
                  const std::string& keyLine) {
    std::string eol = "\n"; // new lines follow the file's first line end
    std::string heldBack;   // lines after the target section's last key so far
    bool inSection = false; // inside the first section named section
    bool seenSection = false;
    bool done = false;     // the key line has been written
    bool lastEnded = true; // the last line read had a line end
    bool lastCr = false;   // ... or only the '\r' of one
    bool ok = true;
    std::string_view line;
    for (bool first = true; ok && reader->Next(&line); first = false) {
        const ParsedLine parsed = ParseLine(line, first);
        const std::string_view ending = line.substr(parsed.textSize);
        if (first && ending == "\r\n") {
            eol = ending;
        }
        lastEnded = !ending.empty() && ending.back() == '\n';
        lastCr = ending == "\r";
        if (inSection && !done && parsed.kind == LineKind::HEADER) {
            // A header always follows a complete line, so the key line can go right here.
            ok = out->Put(keyLine) && out->Put(eol) && out->Put(heldBack);
            done = true;
        }
        if (parsed.kind == LineKind::HEADER) {
            inSection = !seenSection && SameName(parsed.name, section);
            seenSection = seenSection || inSection;
            ok = ok && out->Put(line);
        } else if (inSection && !done && parsed.kind == LineKind::KEY) {
            ok = out->Put(heldBack);
            heldBack.clear();
            if (SameName(parsed.name, keyName)) {
                ok = ok && out->Put(keyLine) && out->Put(ending);
                done = true;
            } else {
                ok = ok && out->Put(line);
            }
        } else if (inSection && !done) {
            heldBack += line;
        } else {
            ok = out->Put(line);
        }
    }
    if (!ok || reader->Failed()) {
        return false;
    }
    if (!done) {
        // Held-back lines follow a complete line; only the file's very last line may lack
        // its end, and the new line must not be glued onto it.
        if (heldBack.empty() && !lastEnded) {
            // A lone '\r' is completed to "\r\n": another '\r' after it would become part
            // of the line's text, and of a value on it.
            ok = out->Put(lastCr ? "\n" : eol);
        }
        if (!inSection) {
            ok = ok && out->Put("[") && out->Put(section) && out->Put("]") && out->Put(eol);
        }
        ok = ok && out->Put(keyLine) && out->Put(eol) && out->Put(heldBack);
    }
    return ok;
}

// The file replaced by its copy with the key set; the file stays as it was on failure.
bool RewriteFile(LineReader* reader, const std::string& file, std::string_view section,
                 std::string_view keyName, const std::string& keyLine) {
    FileReplacement replacement;
    if (!replacement.Open(file)) {
        return false;
    }
    ReplacementWriter out(&replacement);
    return RewriteLines(reader, &out, section, keyName, keyLine) && out.Flush() &&
           replacement.Commit();
}

} // namespace

// Each entry point turns an exception (out of memory on a line of gigabytes) into its
// plain failure value: nothing may escape across the folder's interface.

int32_t ProfileGetInt(const std::string& section, const std::string& key, int32_t def,
                      const std::string& file) {
    try {
        std::string value;
        if (!LookUp(section, key, file, &value)) {
            return def;
        }
        std::string_view digits = Trim(value);
        // from_chars takes a '-' but no '+'; "+-1" must not slip through as -1.
        if (digits.size() >= 2 && digits[0] == '+' && digits[1] >= '0' && digits[1] <= '9') {
            digits.remove_prefix(1);
        }
        int32_t result = 0;
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), result);
        return ec == std::errc() && end == digits.data() + digits.size() ? result : def;
    } catch (const std::exception&) {
        return def;
    }
}

std::string ProfileGetString(const std::string& section, const std::string& key,
                             const std::string& def, std::size_t maxChars,
                             const std::string& file) {
    try {
        std::string value;
        return LookUp(section, key, file, &value) ? CutValue(std::move(value), maxChars) : def;
    } catch (const std::exception&) {
        return def;
    }
}

std::string ProfileGetStringInText(std::string_view text, const std::string& section,
                                   const std::string& key, const std::string& def,
                                   std::size_t maxChars) {
    try {
        const std::string_view wantSection = Trim(section);
        const std::string_view wantKey = Trim(key);
        TextLines lines(text);
        std::string value;
        return ValidSection(wantSection) && ValidKey(wantKey) &&
                       LookUpIn(&lines, wantSection, wantKey, &value)
                   ? CutValue(std::move(value), maxChars)
                   : def;
    } catch (const std::exception&) {
        return def;
    }
}

bool ProfileWriteString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
    try {
        const std::string_view sectionName = Trim(section);
        const std::string_view keyName = Trim(key);
        if (!ValidSection(sectionName) || !ValidKey(keyName)) {
            return false;
        }
        const std::string keyLine = KeyLine(keyName, value);
        LineReader reader;
        if (reader.Open(file)) {
            return RewriteFile(&reader, file, sectionName, keyName, keyLine);
        }
        // Anything but a missing file (a folder, no permission to read) is left alone: a
        // file whose lines cannot be read cannot be rewritten without losing them.
        if (errno != ENOENT) {
            return false;
        }
        std::string contents = "[";
        contents.append(sectionName).append("]\n").append(keyLine).append("\n");
        return WriteNewFile(file, contents);
    } catch (const std::exception&) {
        return false;
    }
}

bool ProfileWriteStringInText(std::string_view text, const std::string& section,
                              const std::string& key, const std::string& value,
                              std::string* result) {
    try {
        const std::string_view sectionName = Trim(section);
        const std::string_view keyName = Trim(key);
        if (!ValidSection(sectionName) || !ValidKey(keyName)) {
            return false;
        }
        TextLines lines(text);
        std::string written;
        StringWriter out(&written);
        if (!RewriteLines(&lines, &out, sectionName, keyName, KeyLine(keyName, value))) {
            return false;
        }
        *result = std::move(written);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace kestrun
