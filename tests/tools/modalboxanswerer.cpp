#include "tests/tools/modalboxanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimerEvent>

ModalBoxAnswerer::ModalBoxAnswerer(std::function<void(QMessageBox*)> onShown) : m_onShown(std::move(onShown))
{
    m_timer = startTimer(20);
}

void ModalBoxAnswerer::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer)
        return;
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    killTimer(m_timer);
    m_timer = 0;
    title = box->windowTitle();
    text = box->text();
    detailedText = box->detailedText();
    buttonCount = box->buttons().size();
    okOnly = box->standardButtons() == QMessageBox::Ok;
    if (m_onShown)
        m_onShown(box);
    answered = true;
    QAbstractButton* button = box->button(QMessageBox::Ok);
    if (!button && !box->buttons().isEmpty())
        button = box->buttons().first();
    if (button)
        button->click();
}
