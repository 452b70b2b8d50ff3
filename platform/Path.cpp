// Path helpers.
#include "Path.h"

namespace kestrun {
namespace {

#ifdef _WIN32
constexpr std::string_view SEPARATORS = "\\/";
constexpr char PREFERRED_SEPARATOR = '\\';
#else
constexpr std::string_view SEPARATORS = "/";
constexpr char PREFERRED_SEPARATOR = '/';
#endif

bool IsSeparator(char c) {
    return SEPARATORS.find(c) != std::string_view::npos;
}

} // namespace

std::string_view PathFindFileName(std::string_view path) {
    const std::size_t cut = path.find_last_of(SEPARATORS);
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string_view PathFolder(std::string_view path) {
    const std::size_t cut = path.find_last_of(SEPARATORS);
    return cut == std::string_view::npos ? std::string_view{} : path.substr(0, cut + 1);
}

std::string_view PathFindExtension(std::string_view path) {
    const std::string_view name = PathFindFileName(path);
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

std::string PathAppend(std::string_view base, std::string_view name) {
    while (!name.empty() && IsSeparator(name.front())) {
        name.remove_prefix(1);
    }
    std::string out(base);
    if (!out.empty() && !IsSeparator(out.back())) {
        out += PREFERRED_SEPARATOR;
    }
    out += name;
    return out;
}

std::string OutputBase(std::string_view folder, std::string_view sourcePath) {
    std::string_view name = PathFindFileName(sourcePath);
    name.remove_suffix(PathFindExtension(name).size());
    return PathAppend(folder, name);
}

} // namespace kestrun
