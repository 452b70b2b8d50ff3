// Fake decoder programs for tests: small shell scripts written under a tool's program name
// into a folder that the runners are told to search alone. Each records the arguments it
// got, one per line, in NAME.args beside itself, and its working folder in NAME.cwd.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace kestrun::test {

inline void WriteTool(const std::string& folder, const std::string& name, const std::string& body) {
    const std::string path = folder + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "#!/bin/sh\n"
        << "here=$(dirname \"$0\")\n"
        << "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$here/" << name << ".args\"\n"
        << "pwd > \"$here/" << name << ".cwd\"\n"
        << body << "\n";
    out.close();
    chmod(path.c_str(), 0755);
}

inline std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Whether the process has ended, now. A process that ended but was not reaped counts as
// ended: an orphan's zombie waits for a reaper the container may lack.
inline bool ProcessHasEnded(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return true;
    }
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

// True once the process has ended, within a few seconds.
inline bool ProcessEnds(int pid) {
    for (int i = 0; i < 500; ++i) {
        if (ProcessHasEnded(pid)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace kestrun::test
