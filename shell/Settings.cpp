// The window's settings file: read once while the window initialises, written once when
// it goes away. Thresholds travel as the text typed, so "0.050" comes back as "0.050".
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>

#include <string>

#include "Language.h"
#include "MainDlg.h"
#include "Profile.h"

namespace kestrun {

namespace {

constexpr std::size_t AZID_GAIN_CHARS = 5;
constexpr std::size_t TEXT_CHARS = 259;
constexpr int DEFAULT_POSITION = 2;

int32_t GetInt(const char* key, int32_t def) {
    return ProfileGetInt(SETTINGS_SECTION, key, def, SETTINGS_FILE);
}

std::string GetText(const char* key, const std::string& def, std::size_t maxChars) {
    return ProfileGetString(SETTINGS_SECTION, key, def, maxChars, SETTINGS_FILE);
}

// A write that fails loses this run's settings and says nothing, like any other
// program whose folder is read-only.
void Put(const char* key, const std::string& value) {
    ProfileWriteString(SETTINGS_SECTION, key, value, SETTINGS_FILE);
}

void PutInt(const char* key, int32_t value) {
    Put(key, std::to_string(value));
}

} // namespace

void CMainDlg::LoadSettings() {
    globals_.minTray = GetInt("MINTRAY", 1);
    makeMono_ = GetInt("Mono", 1);
    if (makeMono_ != 0) {
        makeMonoBox_->setChecked(true);
    }
    globals_.hideChildren = GetInt("Hidden", 0);
    useSrcPath_ = GetInt("UseSrcPath", 1);
    normIndex_ = GetInt("Norm", 0);
    gainDb_ = GetInt("Gain", 0);
    globals_.showHint = GetInt("ShowHint", globals_.showHint);
    globals_.azidGain = GetText("AzidGain", globals_.azidGain, AZID_GAIN_CHARS);
    // A hand-edited default longer than the holder is cut like a read value.
    globals_.azidGain.resize(std::min(globals_.azidGain.size(), AZID_GAIN_CHARS));
    ebThresholdEdit_->setText(QString::fromStdString(GetText("tr1", "0.045", TEXT_CHARS)));
    egThresholdEdit_->setText(QString::fromStdString(GetText("tr2", "0.0015", TEXT_CHARS)));
    egPrefilterEdit_->setText(QString::fromStdString(GetText("prflt2", "0.005", TEXT_CHARS)));
    spThresholdEdit_->setText(QString::fromStdString(GetText("tr3", "0.5", TEXT_CHARS)));
    timelineWanted_ = GetInt("Timeline", 1) != 0;
    langSetting_ = LangSetting();

    // A mode that names no entry leaves the list without a selection.
    normList_->setCurrentIndex(normIndex_ >= 0 && normIndex_ < normList_->count() ? normIndex_
                                                                                  : -1);
    gainEdit_->setText(QString::number(gainDb_));
    if (useSrcPath_ != 0) {
        useSrcPathBox_->setChecked(true);
    }
}

void CMainDlg::LoadSettingsPlacement() {
    int32_t x = GetInt("PosX", DEFAULT_POSITION);
    int32_t y = GetInt("PosY", DEFAULT_POSITION);
    if (x < 0) {
        x = DEFAULT_POSITION;
    }
    if (y < 0) {
        y = DEFAULT_POSITION;
    }
    outputFolderEdit_->setText(
        QString::fromStdString(GetText("Path", DEFAULT_OUTPUT_FOLDER, TEXT_CHARS)));
    move(x, y);
}

void CMainDlg::SaveSettings() {
    PutInt("MINTRAY", globals_.minTray);
    PutInt("Mono", makeMono_);
    Put("tr1", ebThresholdEdit_->text().toStdString());
    Put("tr2", egThresholdEdit_->text().toStdString());
    Put("prflt2", egPrefilterEdit_->text().toStdString());

    // A position off the usable screen is not kept: the next start would put the window
    // where it cannot be seen.
    const QRect frame = frameGeometry();
    const int left = std::max(0, frame.left());
    const int top = std::max(0, frame.top());
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect usable = screen->availableGeometry();
        if (top < usable.height() && left < usable.width()) {
            PutInt("PosX", left);
            PutInt("PosY", top);
        }
    }
    Put("Path", outputFolder_);
    PutInt("Hidden", globals_.hideChildren);
    PutInt("Norm", normIndex_);
    PutInt("Gain", gainDb_);
    PutInt("ShowHint", globals_.showHint);
    PutInt("UseSrcPath", useSrcPath_);
    // Last, so a file written before the speech model keeps its keys in their order.
    Put("tr3", spThresholdEdit_->text().toStdString());
    PutInt("Timeline", timelineWanted_ ? 1 : 0);
    // Kept as it was read: empty follows the environment, "ru" or "en" is the user's choice.
    Put("Lang", langSetting_);
}

} // namespace kestrun
