// Message boxes and the folder picker, replaceable for tests.
#include "Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace kestrun {

namespace {

MessageSink& Sink() {
    static MessageSink sink;
    return sink;
}

FolderPicker& Picker() {
    static FolderPicker picker;
    return picker;
}

std::string TrimForPicker(std::string text) {
    const bool rooted = !text.empty() && text.find_first_not_of(' ') != std::string::npos &&
                        text[text.find_first_not_of(' ')] == '/';
    while (!text.empty() && (text.back() == ' ' || text.back() == '/' || text.back() == '\\')) {
        text.pop_back();
    }
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return rooted ? "/" : ""; // the root itself, not "no folder"
    }
    return text.substr(first);
}

} // namespace

void ShowMessage(QWidget* owner, MessageKind kind, const QString& title, const QString& text) {
    if (Sink()) {
        Sink()(owner, kind, title, text);
        return;
    }
    QMessageBox box(kind == MessageKind::Error     ? QMessageBox::Critical
                    : kind == MessageKind::Warning ? QMessageBox::Warning
                                                   : QMessageBox::NoIcon,
                    title, text, QMessageBox::Ok, owner);
    box.exec();
}

bool BrowseForFolder(QWidget* owner, std::string& path, const QString& title) {
    const QString preselected = QString::fromStdString(TrimForPicker(path));
    const QString chosen = Picker() ? Picker()(owner, title, preselected)
                                    : QFileDialog::getExistingDirectory(owner, title, preselected,
                                                                        QFileDialog::ShowDirsOnly);
    path = chosen.toStdString();
    return !chosen.isEmpty();
}

void SetMessageSink(MessageSink sink) {
    Sink() = std::move(sink);
}

void SetFolderPicker(FolderPicker picker) {
    Picker() = std::move(picker);
}

} // namespace kestrun
