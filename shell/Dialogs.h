// The window's message boxes and its folder picker. Each goes through one function that a
// test can replace, since a modal box would otherwise wait for a person.
#pragma once

#include <QString>

#include <functional>
#include <string>

class QWidget;

namespace kestrun {

enum class MessageKind { Plain, Warning, Error };

// Shows a modal box with a single OK button and returns when it is closed.
void ShowMessage(QWidget* owner, MessageKind kind, const QString& title, const QString& text);

// The folder picker: `path` is trimmed (trailing blanks and separators, then leading
// blanks) and preselected; true with the chosen folder in `path`, or false with `path`
// emptied when the user cancels.
bool BrowseForFolder(QWidget* owner, std::string& path, const QString& title);

// Replacements for tests: a null function restores the real dialog.
using MessageSink = std::function<void(QWidget* owner, MessageKind kind, const QString& title,
                                       const QString& text)>;
using FolderPicker =
    std::function<QString(QWidget* owner, const QString& title, const QString& preselected)>;
void SetMessageSink(MessageSink sink);
void SetFolderPicker(FolderPicker picker);

} // namespace kestrun
