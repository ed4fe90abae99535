#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QMessageBox;

// Answers the next modal message box from the event loop: polls until the box is there (a late
// box is still answered, as qtbase's own message-box tests do it), records what it shows, runs
// onShown while it is up, then presses its OK (or its first button). GUI thread.
class ModalBoxAnswerer : public QObject {
    Q_OBJECT
public:
    explicit ModalBoxAnswerer(std::function<void(QMessageBox*)> onShown = {});

    bool answered = false;
    QString title;
    QString text;
    QString detailedText;
    int buttonCount = -1;
    bool okOnly = false;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    std::function<void(QMessageBox*)> m_onShown;
    int m_timer = 0;
};
