// Every text of the engine, the worker, the speech model's run and kestrun-cli in both
// languages, and those texts of the window that come from them (the log's result messages,
// the reasons a file is refused, the field checks). The window's own widgets, menus and
// boxes are translated by Qt (shell/translations). Russian first, as it is written where it
// is used; the English is what Tr() gives for it.
#include "Text.h"

namespace kestrun {

extern const TextPair TEXTS[];
extern const std::size_t TEXT_COUNT;

const TextPair TEXTS[] = {
    // ---- the log's result messages ----
    {"Загрузка завершена.", "Loading finished."},
    {"Ошибка. (нет памяти или плохой файл)", "Error. (out of memory or a bad file)"},
    {"Данный тип файла не поддерживается.", "This file type is not supported."},
    {"Процесс прерван", "Process interrupted"},
    {"Ошибка: Не запустился ReplayGain", "Error: ReplayGain did not start"},
    {"Ошибка: Не запустился aacenc32", "Error: aacenc32 did not start"},
    {"Ошибка: Не запустился lame", "Error: lame did not start"},
    {"Ошибка: Не запустился mppenc", "Error: mppenc did not start"},
    {"Ошибка: Не запустился venc", "Error: venc did not start"},
    {"Ошибка: Не запустился mac", "Error: mac did not start"},
    {"Ошибка: Не запустился wavpack", "Error: wavpack did not start"},
    {"Ошибка: Не запустился flac", "Error: flac did not start"},
    {"Ошибка: Не запустился iTunes", "Error: iTunes did not start"},
    {"Ошибка: Не запустился naacenc", "Error: naacenc did not start"},
    {"Ошибка: Не запустился faac", "Error: faac did not start"},
    {"Ошибка декодирования", "Decoding error"},
    {"Ошибка копирования", "Copying error"},
    {"Ошибка настройки iTunes", "iTunes setup error"},
    {"Ошибка: Не запустился faad", "Error: faad did not start"},
    {"Ошибка: Не удалось открыть файл", "Error: Could not open the file"},
    {"Ошибка: Не запустился mppdec", "Error: mppdec did not start"},
    {"Ошибка: Не запустился oggdec", "Error: oggdec did not start"},
    {"Ошибка: Не запустился besweet", "Error: besweet did not start"},
    {"Ошибка: Не запустился dtsdec", "Error: dtsdec did not start"},
    {"Ошибка: Не запустился wmadec", "Error: wmadec did not start"},
    {"Ошибка: Не запустился wvunpack", "Error: wvunpack did not start"},
    {"Ошибка: Не запустился neroaacenc", "Error: neroaacenc did not start"},
    {"Ошибка: Код ошибки не доступен", "Error: Error code not available"},
    {"Ошибка: Не запустился neroaacdec", "Error: neroaacdec did not start"},
    {"Ошибка: Не запустился twolame", "Error: twolame did not start"},
    {"Ошибка: Не запустился ofr", "Error: ofr did not start"},
    {"Ошибка: Не запустился ttaenc", "Error: ttaenc did not start"},
    {"Ошибка: Не запустился wm8eutil", "Error: wm8eutil did not start"},
    {"Ошибка: Не запустился wmcmd.vbs", "Error: wmcmd.vbs did not start"},
    {"Ошибка: Требуется iTunes не младше 6-й версии", "Error: iTunes 6 or later is required"},
    {"Запустите iTunes для создания конфигурационного файла",
     "Start iTunes to create its configuration file"},
    {"Ошибка: Не запустился enc_aacplus.exe", "Error: enc_aacplus.exe did not start"},
    {"Ошибка: Не удалось преобразовать в моно или недопустимый формат",
     "Error: Could not convert to mono, or the format is not allowed"},
    {"Ошибка: Не запустился ffmpeg", "Error: ffmpeg did not start"},
    {"Ошибка: %1", "Error: %1"},
    {"Перетащите файл в окно", "Drop a file on the window"},

    // ---- why a file is refused ----
    {"файл не найден", "file not found"},
    {"нет доступа к файлу", "no access to the file"},
    {"это папка, а не файл", "this is a folder, not a file"},
    {"это именованный канал (FIFO), а не файл", "this is a named pipe (FIFO), not a file"},
    {"это сокет, а не файл", "this is a socket, not a file"},
    {"это устройство, а не файл", "this is a device, not a file"},
    {"не удалось открыть файл", "could not open the file"},
    {"не удалось прочитать файл", "could not read the file"},
    {"ошибка чтения файла", "file read error"},
    {"не хватило памяти", "out of memory"},
    {"диск заполнен (свободно %1 МБ, нужно %2 МБ)", "disk full (%1 MB free, %2 MB needed)"},

    // ---- WAV layouts ----
    {"это не WAV-файл", "not a WAV file"},
    {"файл пуст", "the file is empty"},
    {"файл слишком короткий для WAV", "the file is too short for a WAV"},
    {"данных меньше, чем обещает заголовок", "less data than the header promises"},
    {"в WAV нет блока данных", "the WAV has no data chunk"},
    {"в WAV нет блока формата перед данными", "the WAV has no format chunk before its data"},
    {"в WAV испорчен блок формата", "the WAV's format chunk is damaged"},
    {"размер в заголовке RIFF не совпадает с размером файла",
     "the size in the RIFF header does not match the file's size"},
    {"WAV с обратным порядком байтов (RIFX)", "a big-endian WAV (RIFX)"},
    {"RF64 без блока ds64", "RF64 without a ds64 chunk"},
    {"в Wave64 испорчен размер блока", "a chunk size in the Wave64 is damaged"},
    {"WAV с неизвестным подформатом WAVE_FORMAT_EXTENSIBLE",
     "a WAV of an unknown WAVE_FORMAT_EXTENSIBLE subformat"},
    {"WAV в формате %1 (код %2)", "a WAV in %1 format (code %2)"},
    {"WAV в неизвестном формате (код %1)", "a WAV in an unknown format (code %1)"},
    {"нет ни одного канала", "no channels at all"},
    {"нулевая частота", "a sample rate of zero"},
    {"плавающая точка бывает только 32- и 64-битной", "floating point is 32- or 64-bit only"},
    {"такая разрядность не поддерживается", "this bit depth is not supported"},
    {"значащих бит больше, чем в контейнере", "more significant bits than the container holds"},
    {"размер кадра не сходится с разрядностью и числом каналов",
     "the frame size does not match the bit depth and channel count"},
    {"неизвестно, как свести эти каналы в стерео", "no known way to mix these channels to stereo"},
    {"%1: %2 бит", "%1: %2-bit"},
    {" (значащих %1)", " (%1 significant)"},
    {", плавающая точка", ", floating point"},
    {"канал", "channel"},
    {"канала", "channels"},
    {"каналов", "channels"},
    {", %1 Гц", ", %1 Hz"},
    {"размер в заголовке не совпадает с размером файла",
     "the size in the header does not match the file's size"},
    {"слишком длинный файл", "too long a file"},
    {"слишком длинный для 16-битного WAV", "too long for a 16-bit WAV"},
    {"копия должна быть другим файлом", "the copy must be another file"},
    {"не удалось создать файл %1", "could not create the file %1"},
    {"не удалось записать файл %1", "could not write the file %1"},

    // ---- the speech model's run ----
    {"не читается файл %1", "cannot read the file %1"},
    {"частота %1 Гц не годится для модели речи (нужна от %2 до %3 Гц)",
     "a sample rate of %1 Hz does not suit the speech model (%2 to %3 Hz needed)"},
    {"передискретизация: %1", "resampling: %1"},
    {"не запустилась", "did not start"},
    {"ошибка передискретизации", "resampling error"},
    {"не запустился поток расчёта", "the analysis thread did not start"},
    {"сбой расчёта", "the analysis failed"},
    {"расчёт прерван", "analysis interrupted"},

    // ---- listening in the window ----
    {"нет устройства вывода звука", "no sound output device"},
    {"устройство вывода звука не принимает этот формат",
     "the sound output device does not take this format"},

    // ---- the window's command line and its hand-over to a running window ----
    {"Находит речь в звуковой дорожке и пишет по ней файл субтитров SRT.",
     "Finds the speech in a soundtrack and writes an SRT subtitle file from it."},
    {"Показать эту справку и выйти.", "Show this help and exit."},
    {"Показать версию и выйти.", "Show the version and exit."},
    {"файлы", "files"},
    {"[файлы...]", "[files...]"},
    {"Аудио- или видеофайлы: каждый ставится в очередь, как перетащенный в окно. Если окно "
     "уже открыто, файлы передаются ему.",
     "Audio or video files: each is queued as if dropped on the window. If the window is "
     "already open, the files are handed to it."},
    {"Справка: kestrun --help", "Help: kestrun --help"},
    {"Окно Kestrun не отвечает; файлы переданы ему и откроются, когда оно освободится.",
     "The Kestrun window is not responding; the files were handed to it and will open when it "
     "is free."},
    {"Не удалось открыть сокет %1: %2. Файлы из других запусков не попадут в это окно.",
     "Could not open the socket %1: %2. Files from other starts will not reach this window."},

    // ---- the window's field checks ----
    {"Введите целое число.", "Enter a whole number."},
    {"Введите число.", "Enter a number."},
    {"Введите целое число от %1 до %2.", "Enter a whole number from %1 to %2."},
    {"Введите число от %1 до %2.", "Enter a number from %1 to %2."},

    // ---- kestrun-cli ----
    {"Находит речь в звуковых и видеофайлах и пишет файлы субтитров SRT, в которых текст "
     "каждой реплики — её номер. Файлы, кроме WAV, сначала декодируются внешним декодером в "
     "WAV рядом с SRT.",
     "Finds the speech in audio and video files and writes SRT timing files whose cues carry "
     "their own number as text. Files other than WAV are decoded to a WAV beside the SRT by an "
     "external decoder first."},
    {"звуковые или видеофайлы (wav mp3 aif m4a mp4 aac ogg mpc ac3 avi vob mpa mp2 dts wma ape "
     "wv flac ofr tta и всё, что читает ffmpeg) или папки: берётся каждый файл папки "
     "подходящего типа, по порядку путей, без скрытых файлов; обрабатываются в заданном "
     "порядке",
     "audio or video files (wav mp3 aif m4a mp4 aac ogg mpc ac3 avi vob mpa mp2 dts wma ape wv "
     "flac ofr tta, and what ffmpeg reads), or folders: every file in a folder of a type taken, "
     "sorted by path, hidden files left out; processed in the order given"},
    {"energy (по умолчанию), glitch или speech (модель речи: для речи под музыкой и шумами)",
     "energy (default), glitch, or speech (the speech model: for speech under music and "
     "effects)"},
    {"порог обнаружения, от 0 до 1 (по умолчанию 0.045 для energy, 0.0015 для glitch, 0.5 для "
     "speech)",
     "detection threshold, 0 to 1 (default 0.045 energy, 0.0015 glitch, 0.5 speech)"},
    {"энергетический предфильтр детектора glitch, от 0 до 1 (по умолчанию 0.005)",
     "energy prefilter of the glitch detector, 0 to 1 (default 0.005)"},
    {"что писать: srt (по умолчанию), vtt (WebVTT), labels (дорожка меток Audacity, .txt) или "
     "csv (начало,конец в секундах)",
     "what to write: srt (default), vtt (WebVTT), labels (an Audacity label track, .txt) or csv "
     "(start,end in seconds)"},
    {"путь к SRT или к файлу --format (только для одного FILE); декодированный WAV пишется "
     "рядом с ним",
     "path of the SRT, or of the --format file (a single FILE only); a decoded WAV goes beside "
     "it"},
    {"папка для файлов SRT и декодированных WAV (должна существовать)",
     "folder for the SRT and decoded WAV files (must exist)"},
    {"вывести частоту дискретизации, число каналов и длительность файла",
     "print sample rate, channels and duration of a file"},
    {"сначала свести стерео WAV в моно (WAV перезаписывается)",
     "mix a stereo WAV down to mono first (rewrites the WAV)"},
    {"нормализация ReplayGain: 0 нет (по умолчанию), 1 radio, 2 radio с дизерингом без "
     "формирования шума, 3/4/5 с лёгким/средним/сильным формированием шума",
     "ReplayGain normalisation: 0 none (default), 1 radio, 2 radio with dither without noise "
     "shaping, 3/4/5 with light/medium/heavy noise shaping"},
    {"дополнительное усиление нормализации в дБ, от -12 до 12",
     "extra gain of the normalisation in dB, -12 to 12"},
    {"потоков модели речи (по умолчанию: все ядра)",
     "threads of the speech model (default: all cores)"},
    {"текст усиления для параметра besweet -azid( -g G )",
     "gain text for besweet's -azid( -g G ) option"},
    {"искать программы-декодеры и модель речи только в DIR (можно несколько раз; по умолчанию: "
     "папка программы, текущая папка, затем PATH)",
     "look for the decoder programs and the speech model in DIR only (repeatable; default: the "
     "program's folder, the current folder, then PATH)"},
    {"какой звуковой поток контейнера декодировать, считая звуковые потоки с 0 (по умолчанию "
     "0)",
     "which audio stream of a container to decode, counting audio streams from 0 (default 0)"},
    {"удалять каждый декодированный WAV, когда его SRT записан; уже бывший WAV с тем же "
     "именем не трогается, а WAV, данный как FILE, не удаляется никогда",
     "delete each decoded WAV once its SRT is written; an existing WAV of the same name is left "
     "alone, and a WAV given as FILE is never deleted"},
    {"сколько файлов обрабатывать одновременно, каждый своим декодером (по умолчанию 1); вывод "
     "идёт в порядке файлов",
     "files worked on at once, each with its own decoder (default 1); the output keeps the "
     "order of the files"},
    {"брать и файлы из вложенных папок (по символическим ссылкам на папки не переходит)",
     "take the files of a folder's sub-folders too (symbolic links to folders are not "
     "followed)"},
    {"брать только файлы I, I+N, I+2N ... всего списка (считая с 0, после раскрытия папок), "
     "чтобы разделить работу между N машинами",
     "take only files I, I+N, I+2N ... of the whole list (counting from 0, after opening "
     "folders), to split a batch across N machines"},
    {"язык сообщений: ru или en (по умолчанию — из LANGUAGE, LC_ALL, LC_MESSAGES, LANG)",
     "language of the messages: ru or en (default: from LANGUAGE, LC_ALL, LC_MESSAGES, LANG)"},
    {"показать версию программы и выйти", "Display program version information and exit"},
    {"показать эту справку и выйти", "Print this help message and exit"},
    {"Параметры", "Options"},
    {"Использование", "Usage"},
    {"ПАРАМЕТРЫ", "OPTIONS"},
    {"Аргументы", "Positionals"},
    {"Запустите с --help, чтобы узнать больше.", "Run with --help for more information."},
    {"лишние аргументы: %1", "unexpected arguments: %1"},
    {"%1: не хватает значения", "%1: a value is missing"},
    {"%1: недопустимое значение", "%1: a value not allowed"},
    {"--info принимает один FILE и больше ничего", "--info takes one FILE and no others"},
    {"не задан FILE", "no FILE given"},
    {"--threshold '%1': нужно число от 0 до 1", "--threshold '%1': expected a number from 0 to 1"},
    {"--prefilter '%1': нужно число от 0 до 1", "--prefilter '%1': expected a number from 0 to 1"},
    {"--output допускает только один FILE", "--output takes a single FILE"},
    {"--output и --out-dir исключают друг друга", "--output and --out-dir exclude each other"},
    {"--out-dir '%1': нет такой папки", "--out-dir '%1': no such folder"},
    {"--azid-gain '%1': не больше 5 символов", "--azid-gain '%1': at most 5 characters"},
    {"--shard '%1': нужно I/N, где 0 <= I < N", "--shard '%1': expected I/N with 0 <= I < N"},
    {"%1: не удалось прочитать папку: %2", "%1: cannot read folder: %2"},
    {"kestrun-cli: не запустился рабочий поток\n", "kestrun-cli: cannot start the worker thread\n"},
    {"kestrun-cli: прервано\n", "kestrun-cli: interrupted\n"},
    {"не удалось записать SRT: %1", "cannot write SRT: %1"},
    {"не удалось записать файл %1: %2", "cannot write %1 file: %2"},
};

const std::size_t TEXT_COUNT = sizeof TEXTS / sizeof TEXTS[0];

} // namespace kestrun
