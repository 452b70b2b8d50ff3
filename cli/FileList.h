// kestrun-cli's file list: FILE arguments with folders opened into the files they hold, and
// the share of that list one machine of several takes (--shard I/N).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun::cli {

// Every count-th file of the list, starting at index.
struct Shard {
    uint32_t index = 0;
    uint32_t count = 1;

    bool operator==(const Shard&) const = default;
};

// "I/N" with 0 <= I < N, both plain decimal numbers ("3/16"); false for anything else
// ("16/16", "0/0", "1", " 1/2", "-1/2", "1/2/3").
bool ParseShard(std::string_view text, Shard* shard);

// The files of the shard, in the order of the list.
std::vector<std::string> TakeShard(const std::vector<std::string>& files, const Shard& shard);

// Whether a file found in a folder is taken; called once per candidate, in list order.
using AcceptFn = std::function<bool(const std::string& path)>;
// Told about a folder that cannot be read, and why.
using UnreadableFn = std::function<void(const std::string& folder, const std::string& reason)>;

// The file list from the FILE arguments, in their order: a folder gives the regular files
// in it that `accepts` takes, sorted by path byte for byte, with recursive those of its
// sub-folders too (symbolic links to folders are not followed); names starting with a dot
// are passed over. Anything else is taken as it was given.
std::vector<std::string> ExpandArguments(const std::vector<std::string>& arguments, bool recursive,
                                         const AcceptFn& accepts, const UnreadableFn& unreadable);

} // namespace kestrun::cli
