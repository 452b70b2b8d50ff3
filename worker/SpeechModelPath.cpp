// The speech model's lookup through the tool folders.
#include "SpeechModelPath.h"

#include <filesystem>

#include "Path.h"
#include "Process.h"
#include "SpeechModel.h"

namespace kestrun {

std::string FindSpeechModel(const std::vector<std::string>& folders) {
    const std::vector<std::string> searched = folders.empty() ? DefaultToolFolders() : folders;
    for (const std::string& folder : searched) {
        const std::string candidate = PathAppend(folder, SPEECH_MODEL_FILE);
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return PathAppend(searched.empty() ? std::string(".") : searched.front(), SPEECH_MODEL_FILE);
}

} // namespace kestrun
