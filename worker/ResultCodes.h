// Result codes of a job and the message the log shows for each.
#pragma once

#include <cstdint>
#include <string>

#include "File.h"

namespace kestrun {

constexpr int32_t RESULT_OK = 0;
constexpr int32_t RESULT_BAD_WAV = -1;
constexpr int32_t UNSUPPORTED_TYPE = 10000;
constexpr int32_t RESULT_PROCESS_INTERRUPTED = -1073741510;
constexpr int32_t RESULT_WAVEGAIN_START = 1001001;
constexpr int32_t RESULT_LAME_START = 1001003;
constexpr int32_t RESULT_FLAC_START = 1001008;
constexpr int32_t RESULT_DECODE_FAILED = 1001012;
constexpr int32_t RESULT_COPY_FAILED = 1001013;
constexpr int32_t RESULT_FAAD_START = 1001015;
constexpr int32_t RESULT_OPEN_FAILED = 1001016;
constexpr int32_t RESULT_MPPDEC_START = 1001017;
constexpr int32_t RESULT_OGGDEC_START = 1001018;
constexpr int32_t RESULT_BESWEET_START = 1001019;
constexpr int32_t RESULT_DTSDEC_START = 1001020;
constexpr int32_t RESULT_WMADEC_START = 1001021;
constexpr int32_t RESULT_MAC_START = 1001022;
constexpr int32_t RESULT_WVUNPACK_START = 1001023;
constexpr int32_t RESULT_OFR_START = 1001028;
constexpr int32_t RESULT_TTAENC_START = 1001029;
constexpr int32_t RESULT_MONO_FAILED = 1001035;
// The ffmpeg adapter (ffdecode.exe) for every type the table above does not name.
constexpr int32_t RESULT_FFDECODE_START = 1001036;

//     0 -> "Загрузка завершена."
//     3 -> "Ошибка: 3"   (a tool's own exit code)
std::string ResultMessage(int32_t code);

// Why a file could not be read as one, for the log after the code's message:
//     FileProblem::Fifo -> "это именованный канал (FIFO), а не файл"
std::string FileProblemText(FileProblem problem);

// A step that ran out of disk space, in MB of 2^20 bytes (free rounded down, needed up):
//     (3 MB, 310 MB) -> "диск заполнен (свободно 3 МБ, нужно 310 МБ)"
std::string DiskFullText(uint64_t freeBytes, uint64_t neededBytes);

} // namespace kestrun
