// The message log and its menu.
#include "LogListBox.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QMenu>
#include <QMouseEvent>

namespace kestrun {

CLogListBox::CLogListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);
    setUniformItemSizes(true); // keeps a long log cheap to scroll
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
}

void CLogListBox::AppendLogLine(const QString& line, const QString& lineAfterReset) {
    if (count() < lineLimit_) {
        addItem(line);
        setCurrentRow(count() - 1);
        scrollToItem(item(count() - 1));
        return;
    }
    clear();
    addItem(lineAfterReset);
    setCurrentRow(-1);
}

void CLogListBox::Clear() {
    clear();
}

QMenu* CLogListBox::CreateMenu() {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("logMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* clearAction = menu->addAction(tr("Очистить"));
    clearAction->setObjectName(QStringLiteral("clearLog"));
    connect(clearAction, &QAction::triggered, this, &CLogListBox::Clear);
    return menu;
}

void CLogListBox::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::RightButton) {
        QListWidget::mousePressEvent(event);
        return;
    }
    // The list's own right-button handling (which would move the selection) is not run.
    event->accept();
    CreateMenu()->popup(QCursor::pos());
}

void CLogListBox::contextMenuEvent(QContextMenuEvent* event) {
    // The mouse already had its menu when the button went down; the menu key gets it here.
    // Either way the window's own context menu must not open over the log.
    event->accept();
    if (event->reason() != QContextMenuEvent::Mouse) {
        CreateMenu()->popup(event->globalPos());
    }
}

} // namespace kestrun
