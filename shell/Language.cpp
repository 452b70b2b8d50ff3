// Choosing and applying the window's language.
#include "Language.h"

#include <QCoreApplication>
#include <QTranslator>

#include "MainDlg.h"
#include "Profile.h"

namespace kestrun {
namespace {

constexpr std::size_t LANG_CHARS = 16;

// The English of the window's own texts, built from translations/kestrun_en.ts into the
// program's resources.
constexpr const char* ENGLISH_QM = ":/kestrun/i18n/kestrun_en.qm";

} // namespace

std::string LangSetting() {
    return ProfileGetString(SETTINGS_SECTION, "Lang", "", LANG_CHARS, SETTINGS_FILE);
}

Lang WindowLang(const EnvReader& getenv) {
    return ChooseLang(LangSetting(), getenv);
}

void ApplyLanguage(Lang lang) {
    // Kept for the program's life, as QCoreApplication holds only a pointer to it.
    static QTranslator* english = nullptr;
    SetLang(lang);
    if (english != nullptr) {
        QCoreApplication::removeTranslator(english);
    }
    if (lang == Lang::Ru) {
        return;
    }
    if (english == nullptr) {
        english = new QTranslator;
        if (!english->load(QString::fromUtf8(ENGLISH_QM))) {
            delete english;
            english = nullptr;
            return;
        }
    }
    QCoreApplication::installTranslator(english);
}

} // namespace kestrun
