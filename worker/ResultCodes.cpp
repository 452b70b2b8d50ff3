// The log's text for every result code, and the details that name a failure's cause.
#include "ResultCodes.h"

#include <array>
#include <utility>

#include "Text.h"

namespace kestrun {
namespace {

// Codes with a text of their own. The start failures of tools this program no longer runs
// keep their texts: settings and logs of older versions may still carry those codes.
constexpr std::array<std::pair<int32_t, const char*>, 40> MESSAGES = {{
    {0, "Загрузка завершена."},
    {-1, "Ошибка. (нет памяти или плохой файл)"},
    {10000, "Данный тип файла не поддерживается."},
    {-1073741510, "Процесс прерван"},
    {1001001, "Ошибка: Не запустился ReplayGain"},
    {1001002, "Ошибка: Не запустился aacenc32"},
    {1001003, "Ошибка: Не запустился lame"},
    {1001004, "Ошибка: Не запустился mppenc"},
    {1001005, "Ошибка: Не запустился venc"},
    {1001006, "Ошибка: Не запустился mac"},
    {1001007, "Ошибка: Не запустился wavpack"},
    {1001008, "Ошибка: Не запустился flac"},
    {1001009, "Ошибка: Не запустился iTunes"},
    {1001010, "Ошибка: Не запустился naacenc"},
    {1001011, "Ошибка: Не запустился faac"},
    {1001012, "Ошибка декодирования"},
    {1001013, "Ошибка копирования"},
    {1001014, "Ошибка настройки iTunes"},
    {1001015, "Ошибка: Не запустился faad"},
    {1001016, "Ошибка: Не удалось открыть файл"},
    {1001017, "Ошибка: Не запустился mppdec"},
    {1001018, "Ошибка: Не запустился oggdec"},
    {1001019, "Ошибка: Не запустился besweet"},
    {1001020, "Ошибка: Не запустился dtsdec"},
    {1001021, "Ошибка: Не запустился wmadec"},
    {1001022, "Ошибка: Не запустился mac"},
    {1001023, "Ошибка: Не запустился wvunpack"},
    {1001024, "Ошибка: Не запустился neroaacenc"},
    {1001025, "Ошибка: Код ошибки не доступен"},
    {1001026, "Ошибка: Не запустился neroaacdec"},
    {1001027, "Ошибка: Не запустился twolame"},
    {1001028, "Ошибка: Не запустился ofr"},
    {1001029, "Ошибка: Не запустился ttaenc"},
    {1001030, "Ошибка: Не запустился wm8eutil"},
    {1001031, "Ошибка: Не запустился wmcmd.vbs"},
    {1001032, "Ошибка: Требуется iTunes не младше 6-й версии"},
    {1001033, "Запустите iTunes для создания конфигурационного файла"},
    {1001034, "Ошибка: Не запустился enc_aacplus.exe"},
    {1001035, "Ошибка: Не удалось преобразовать в моно или недопустимый формат"},
    {1001036, "Ошибка: Не запустился ffmpeg"},
}};

constexpr std::array<std::pair<FileProblem, const char*>, 7> FILE_PROBLEMS = {{
    {FileProblem::NotFound, "файл не найден"},
    {FileProblem::NoAccess, "нет доступа к файлу"},
    {FileProblem::Folder, "это папка, а не файл"},
    {FileProblem::Fifo, "это именованный канал (FIFO), а не файл"},
    {FileProblem::Socket, "это сокет, а не файл"},
    {FileProblem::Device, "это устройство, а не файл"},
    {FileProblem::Unreadable, "не удалось открыть файл"},
}};

constexpr uint64_t MEGABYTE = uint64_t{1} << 20;

} // namespace

std::string FileProblemText(FileProblem problem) {
    for (const auto& [known, text] : FILE_PROBLEMS) {
        if (known == problem) {
            return Tr(text);
        }
    }
    return {};
}

std::string DiskFullText(uint64_t freeBytes, uint64_t neededBytes) {
    const uint64_t neededMb = neededBytes / MEGABYTE + (neededBytes % MEGABYTE != 0 ? 1 : 0);
    return Fill(Tr("диск заполнен (свободно %1 МБ, нужно %2 МБ)"),
                {std::to_string(freeBytes / MEGABYTE), std::to_string(neededMb)});
}

std::string ResultMessage(int32_t code) {
    for (const auto& [known, text] : MESSAGES) {
        if (known == code) {
            return Tr(text);
        }
    }
    return Fill(Tr("Ошибка: %1"), {std::to_string(code)});
}

} // namespace kestrun
