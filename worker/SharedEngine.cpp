// The engine behind its lock, with numbered loads.
#include "SharedEngine.h"

#include "File.h"
#include "ResultCodes.h"
#include "Srt.h"

namespace kestrun {

SharedEngine::SharedEngine() {
    SetFileReplacer(&ReplaceFileContents);
}

uint64_t SharedEngine::Load(const std::string& path, std::string* why,
                            const CVadEngine::LoadProgressFn& progress) {
    const FileProblem problem = RegularFileProblem(path);
    std::lock_guard lock(mutex_);
    currentLoad_ = 0;
    if (problem != FileProblem::None) {
        engine_->FreeAll();
        if (why != nullptr) {
            *why = FileProblemText(problem);
        }
        return 0;
    }
    engine_->SetLoadProgress(progress);
    const bool loaded = engine_->LoadWav(path, why);
    engine_->SetLoadProgress({});
    if (!loaded) {
        return 0;
    }
    currentLoad_ = ++lastLoad_;
    return currentLoad_;
}

uint64_t SharedEngine::LoadFollowing(const std::string& path,
                                     const std::function<bool()>& writerEnded, std::string* why,
                                     const CVadEngine::LoadProgressFn& progress) {
    // Nothing an engine keeps from one load to the next survives a load, so a fresh one
    // gives what a load into the shared one would.
    auto staged = std::make_unique<CVadEngine>();
    staged->SetLoadProgress(progress);
    const bool loaded = staged->LoadWavFollowing(path, writerEnded, why);
    staged->SetLoadProgress({});
    std::lock_guard lock(mutex_);
    if (!loaded) {
        engine_->FreeAll();
        currentLoad_ = 0;
        return 0;
    }
    engine_ = std::move(staged);
    currentLoad_ = ++lastLoad_;
    return currentLoad_;
}

void SharedEngine::Drop(uint64_t load) {
    std::lock_guard lock(mutex_);
    if (load != 0 && load == currentLoad_) {
        engine_->FreeAll();
        currentLoad_ = 0;
    }
}

void SharedEngine::Clear() {
    std::lock_guard lock(mutex_);
    engine_->FreeAll();
    currentLoad_ = 0;
}

uint64_t SharedEngine::CurrentLoad() const {
    std::lock_guard lock(mutex_);
    return currentLoad_;
}

bool SharedEngine::WithLoad(uint64_t load, const std::function<void(CVadEngine&)>& fn) {
    std::lock_guard lock(mutex_);
    if (load == 0 || load != currentLoad_) {
        return false;
    }
    fn(*engine_);
    return true;
}

} // namespace kestrun
