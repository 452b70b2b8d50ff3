// Folder walking and sharding of kestrun-cli's file list.
#include "FileList.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>

#include "Path.h"

namespace kestrun::cli {
namespace {

namespace fs = std::filesystem;

// A whole decimal number: no sign, no spaces, nothing after it.
bool ParseCount(std::string_view text, uint32_t* value) {
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && at == end;
}

// Paths are joined as text, not through fs::path, so that each file keeps the form its
// folder was given in ("talks/" + "a.wav" -> "talks/a.wav") and prints as the user wrote it.
void Collect(const std::string& folder, bool recursive, std::vector<std::string>& found,
             const UnreadableFn& unreadable) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') {
            continue;
        }
        const std::string path = PathAppend(folder, name);
        std::error_code typeError;
        if (it->is_symlink(typeError)) {
            // A link to a file counts as that file; a link to a folder is never entered,
            // so no walk can run in circles.
            if (it->is_regular_file(typeError)) {
                found.push_back(path);
            }
        } else if (it->is_directory(typeError)) {
            if (recursive) {
                Collect(path, recursive, found, unreadable);
            }
        } else if (it->is_regular_file(typeError)) {
            found.push_back(path);
        }
    }
    if (ec) {
        unreadable(folder, ec.message());
    }
}

} // namespace

bool ParseShard(std::string_view text, Shard* shard) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return false;
    }
    Shard parsed;
    if (!ParseCount(text.substr(0, slash), &parsed.index) ||
        !ParseCount(text.substr(slash + 1), &parsed.count) || parsed.index >= parsed.count) {
        return false;
    }
    *shard = parsed;
    return true;
}

std::vector<std::string> TakeShard(const std::vector<std::string>& files, const Shard& shard) {
    std::vector<std::string> taken;
    for (std::size_t i = shard.index; i < files.size(); i += shard.count) {
        taken.push_back(files[i]);
    }
    return taken;
}

std::vector<std::string> ExpandArguments(const std::vector<std::string>& arguments, bool recursive,
                                         const AcceptFn& accepts, const UnreadableFn& unreadable) {
    std::vector<std::string> files;
    for (const std::string& argument : arguments) {
        std::error_code ec;
        if (!fs::is_directory(argument, ec)) {
            files.push_back(argument);
            continue;
        }
        std::vector<std::string> found;
        Collect(argument, recursive, found, unreadable);
        // Every machine of a sharded run must see the same list, whatever order the file
        // system lists a folder in and whatever the locale: bytes decide.
        std::sort(found.begin(), found.end());
        for (std::string& path : found) {
            if (accepts(path)) {
                files.push_back(std::move(path));
            }
        }
    }
    return files;
}

} // namespace kestrun::cli
