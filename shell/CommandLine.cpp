// The window program's options and file arguments.
#include "CommandLine.h"

#include <QCommandLineParser>
#include <QDir>

#include "Text.h"

namespace kestrun {
namespace {

// What QGuiApplication, QApplication and the X11 platform take from the command line: known
// here so that they are not taken for files, and left in argv for Qt.
const char* const QT_VALUE_OPTIONS[] = {
    "platform",
    "platformpluginpath",
    "platformtheme",
    "plugin",
    "qwindowgeometry",
    "geometry",
    "qwindowicon",
    "icon",
    "qwindowtitle",
    "title",
    "session",
    "display",
    "name",
    "visual",
    "style",
    "stylesheet",
    "qmljsdebugger",
};
const char* const QT_FLAG_OPTIONS[] = {"reverse", "testability", "nograb", "dograb", "widgetcount"};

// From the shared table: the command line is read before Qt's translation can be loaded.
QString Text(const char* text) {
    return QString::fromUtf8(Tr(text));
}

} // namespace

QStringList ArgumentList(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

CommandLine ParseCommandLine(const QStringList& arguments, const QString& currentFolder) {
    QCommandLineParser parser;
    // Qt's own options are single-dash words: -platform offscreen, -style=fusion.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        Text("Находит речь в звуковой дорожке и пишет по ней файл субтитров SRT."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  Text("Показать эту справку и выйти."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     Text("Показать версию и выйти."));
    parser.addOption(help);
    parser.addOption(version);
    for (const char* name : QT_VALUE_OPTIONS) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : QT_FLAG_OPTIONS) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    parser.addPositionalArgument(Text("файлы"),
                                 Text("Аудио- или видеофайлы: каждый ставится в очередь, как "
                                      "перетащенный в окно. Если окно уже открыто, файлы "
                                      "передаются ему."),
                                 Text("[файлы...]"));

    CommandLine result;
    if (!parser.parse(arguments)) {
        result.exitCode = 1;
        result.outputIsError = true;
        result.output = QStringLiteral("kestrun: %1\n%2\n")
                            .arg(parser.errorText(), Text("Справка: kestrun --help"));
        return result;
    }
    if (parser.isSet(help)) {
        result.exitCode = 0;
        // Read before the application object exists, the parser cannot know the program's
        // name.
        result.output = parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                  QStringLiteral("kestrun"));
        return result;
    }
    if (parser.isSet(version)) {
        result.exitCode = 0;
        result.output = QStringLiteral("Kestrun " KESTRUN_VERSION "\n");
        return result;
    }
    const QDir folder(currentFolder);
    for (const QString& file : parser.positionalArguments()) {
        if (!file.isEmpty()) {
            result.files << QDir::cleanPath(folder.absoluteFilePath(file));
        }
    }
    return result;
}

} // namespace kestrun
