// The message log at the top of the window: one line per queued file and one per ended
// job, the newest selected; its right-click menu empties it.
#pragma once

#include <QListWidget>

namespace kestrun {

constexpr int LOG_LINE_LIMIT = 32767; // the log refuses lines beyond this many

class CLogListBox : public QListWidget {
    Q_OBJECT
public:
    explicit CLogListBox(QWidget* parent = nullptr);

    // Appends line and selects it (which scrolls it into view). When the log refuses the
    // line, the log is emptied and lineAfterReset becomes its only line, unselected.
    void AppendLogLine(const QString& line, const QString& lineAfterReset);

    // Lower limits let tests reach the refusal without 32767 lines.
    void SetLineLimit(int limit) { lineLimit_ = limit; }

    // The "Очистить" command of the log's menu.
    void Clear();

    // The log's menu, as the right button shows it (built afresh each time).
    QMenu* CreateMenu();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    int lineLimit_ = LOG_LINE_LIMIT;
};

} // namespace kestrun
