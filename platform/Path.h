// Path pieces as the desktop's shell path functions cut them, on every platform:
// the file-name part, its extension, and joining with exactly one separator.
#pragma once

#include <string>
#include <string_view>

namespace kestrun {

// Everything after the last folder separator ('/', and '\\' on Windows).
std::string_view PathFindFileName(std::string_view path);

// The folder part of path, up to and including its last separator; empty when none.
std::string_view PathFolder(std::string_view path);

// The extension of a file name starting at its last dot (".wav"), or empty when the name
// has no dot. Only the file-name part is looked at.
std::string_view PathFindExtension(std::string_view path);

// base and name joined with exactly one separator; just name when base is empty.
std::string PathAppend(std::string_view base, std::string_view name);

// Where a job's outputs go: folder joined with the source's file name without its
// extension ("/out" + "/a/talk.day1.avi" -> "/out/talk.day1").
std::string OutputBase(std::string_view folder, std::string_view sourcePath);

} // namespace kestrun
