// Where the speech model file is found: beside the program, like the decoder adapters.
#pragma once

#include <string>
#include <vector>

namespace kestrun {

// The model file in the first of folders (DefaultToolFolders() when empty) that holds
// one; when none does, where it was expected in the first folder, so the message that
// follows names a useful place.
std::string FindSpeechModel(const std::vector<std::string>& folders);

} // namespace kestrun
