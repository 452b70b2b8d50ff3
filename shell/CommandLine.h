// The window program's command line, read before Qt starts: the files to open, --help and
// --version, and Qt's own options (-platform, -style, ...) left for QApplication.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace kestrun {

struct CommandLine {
    // Absolute, in the order given.
    QStringList files;
    // Set: the program prints `output` (to standard error when `outputIsError`) and ends
    // with this code.
    std::optional<int> exitCode;
    QString output;
    bool outputIsError = false;
};

QStringList ArgumentList(int argc, char** argv);

// arguments: the program's name first, as in argv. A relative file is taken from
// currentFolder, the folder of the start that names it.
CommandLine ParseCommandLine(const QStringList& arguments, const QString& currentFolder);

} // namespace kestrun
