<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ru_RU">
<context>
    <name>kestrun::CAboutDlg</name>
    <message>
        <source>О программе</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Kestrun %1: речь в файл субтитров</source>
        <translation>Kestrun %1: speech into a subtitle file</translation>
    </message>
</context>
<context>
    <name>kestrun::CLogListBox</name>
    <message>
        <source>Очистить</source>
        <translation>Clear</translation>
    </message>
</context>
<context>
    <name>kestrun::CMainDlg</name>
    <message>
        <source>Не использовать Replay Gain</source>
        <translation>Do not use Replay Gain</translation>
    </message>
    <message>
        <source>Replay Gain Radio [Dither без NS]</source>
        <translation>Replay Gain Radio [Dither without NS]</translation>
    </message>
    <message>
        <source>Параметры</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>Обзор</source>
        <translation>Browse</translation>
    </message>
    <message>
        <source>Выводить в каталог исходника</source>
        <translation>Output to the source&apos;s folder</translation>
    </message>
    <message>
        <source>Сделать моно файл</source>
        <translation>Make a mono file</translation>
    </message>
    <message>
        <source>Прослушивание недоступно: %1</source>
        <translation>Listening unavailable: %1</translation>
    </message>
    <message>
        <source>Не удалось записать файл субтитров:
%1
%2</source>
        <translation>Could not write the subtitle file:
%1
%2</translation>
    </message>
    <message>
        <source>Ошибка модели речи: %1</source>
        <translation>Speech model error: %1</translation>
    </message>
    <message>
        <source>Речь: %1 %, затем SRT</source>
        <translation>Speech: %1 %, then SRT</translation>
    </message>
    <message>
        <source>Речь: %1 %</source>
        <translation>Speech: %1 %</translation>
    </message>
    <message>
        <source>Речь: готово</source>
        <translation>Speech: ready</translation>
    </message>
    <message>
        <source>Речь: ошибка</source>
        <translation>Speech: error</translation>
    </message>
    <message>
        <source>Каталог вывода</source>
        <translation>Output folder</translation>
    </message>
    <message>
        <source>: ошибка модели речи</source>
        <translation>: speech model error</translation>
    </message>
    <message>
        <source>: модель речи ещё не готова</source>
        <translation>: speech model not ready yet</translation>
    </message>
    <message>
        <source>%1 — число реплик: %2</source>
        <translation>%1 — cues: %2</translation>
    </message>
    <message>
        <source>&amp;О программе...</source>
        <translation>&amp;About...</translation>
    </message>
    <message>
        <source>&amp;Шкала времени</source>
        <translation>&amp;Timeline</translation>
    </message>
    <message>
        <source>Перетащите WAV в окно</source>
        <translation>Drop a WAV on the window</translation>
    </message>
</context>
<context>
    <name>kestrun::CTrayIcon</name>
    <message>
        <source>Выход</source>
        <translation>Exit</translation>
    </message>
</context>
<context>
    <name>kestrun::JobProgressView</name>
    <message>
        <source>Декодирование</source>
        <translation>Decoding</translation>
    </message>
    <message>
        <source>Копирование WAV</source>
        <translation>Copying WAV</translation>
    </message>
    <message>
        <source>Сведение в моно</source>
        <translation>Mixing to mono</translation>
    </message>
    <message>
        <source>Нормализация</source>
        <translation>Normalising</translation>
    </message>
    <message>
        <source>Загрузка</source>
        <translation>Loading</translation>
    </message>
    <message>
        <source>, %1 МБ</source>
        <translation>, %1 MB</translation>
    </message>
</context>
<context>
    <name>kestrun::TimelinePane</name>
    <message>
        <source>Сохранить как SRT</source>
        <translation>Save as SRT</translation>
    </message>
    <message>
        <source>Сохранить как WebVTT</source>
        <translation>Save as WebVTT</translation>
    </message>
    <message>
        <source>Сохранить как метки Audacity</source>
        <translation>Save as Audacity labels</translation>
    </message>
    <message>
        <source>Сохранить как CSV</source>
        <translation>Save as CSV</translation>
    </message>
</context>
</TS>
