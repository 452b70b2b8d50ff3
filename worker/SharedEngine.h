// The one engine both sides use, behind a lock: a load (on the worker), a clear and a
// detection run (on the window side) never overlap. The lock is held only for the engine
// operation itself, so a clear or a detection waits for a load under way, never for a
// decoder. Each successful load gets a number, so a caller can tell whether the engine
// still holds the load it was told about.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "VadEngine.h"

namespace kestrun {

class SharedEngine {
public:
    // Its SRT writes, and those of every engine, go through the platform's replacement,
    // which leaves no temporary file behind when the program is killed midway.
    SharedEngine();

    // LoadWav under the lock. Returns the new load's number (never 0), or 0 when the engine
    // refused the file (it then holds no load); *why then says what the file is, if known.
    // Only a regular file is handed to the engine: a FIFO or device would block its read.
    // progress, when given, is told of the bytes read as CVadEngine::SetLoadProgress says.
    uint64_t Load(const std::string& path, std::string* why = nullptr,
                  const CVadEngine::LoadProgressFn& progress = {});

    // The engine's following load of a WAV a decoder is still writing, made into an engine
    // of its own without the lock (it lasts as long as the decoder) and put in place under
    // the lock once complete. Numbers and failures as Load.
    uint64_t LoadFollowing(const std::string& path, const std::function<bool()>& writerEnded,
                           std::string* why = nullptr,
                           const CVadEngine::LoadProgressFn& progress = {});

    // Clears the engine if it still holds load number `load` (a load a job gave up).
    void Drop(uint64_t load);

    // FreeAll under the lock: afterwards the engine holds no load.
    void Clear();

    // The number of the load the engine holds, or 0.
    uint64_t CurrentLoad() const;

    // Runs fn on the engine under the lock, only if the engine still holds load number
    // `load`. True when fn ran.
    bool WithLoad(uint64_t load, const std::function<void(CVadEngine&)>& fn);

private:
    mutable std::mutex mutex_;
    std::unique_ptr<CVadEngine> engine_ = std::make_unique<CVadEngine>();
    uint64_t lastLoad_ = 0;    // numbers handed out so far
    uint64_t currentLoad_ = 0; // the load held, 0 when none
};

} // namespace kestrun
