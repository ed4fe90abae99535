#include "platform/accessibility.h"

#include "platform/simpletextwidget.h"

#include <QAbstractButton>
#include <QAccessibleWidget>

namespace Lumo {

namespace {

// Static text whose words are readable through the text interface, as screen readers read
// labels: the name is the accessible name where one is set, else the text.
class SimpleTextAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit SimpleTextAccessible(CSimpleTextWidget* widget) : QAccessibleWidget(widget, QAccessible::StaticText) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text kind) const override
    {
        switch (kind) {
        case QAccessible::Name:
            return label()->accessibleName().isEmpty() ? label()->text() : label()->accessibleName();
        case QAccessible::Description:
            return label()->accessibleDescription();
        case QAccessible::Value:
            return label()->text();
        default:
            return QAccessibleWidget::text(kind);
        }
    }

    // The text interface: read-only, no caret, no selection.
    QString text(int startOffset, int endOffset) const override
    {
        return label()->text().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return label()->text().size(); }
    void selection(int, int* startOffset, int* endOffset) const override { *startOffset = *endOffset = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QRect characterRect(int) const override { return QRect(); }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* startOffset, int* endOffset) const override
    {
        *startOffset = offset;
        *endOffset = offset;
        return QString();
    }

private:
    const CSimpleTextWidget* label() const { return static_cast<const CSimpleTextWidget*>(widget()); }
};

// The text widget shares its base's meta-object, so it is told apart by its type, not its name.
QAccessibleInterface* simpleTextFactory(const QString&, QObject* object)
{
    if (auto* label = dynamic_cast<CSimpleTextWidget*>(object))
        return new SimpleTextAccessible(label);
    return nullptr;
}

// A button's setText announces a new name even where its accessible name is fixed: a label that
// changes every second (a countdown) would be read out every second. setButtonText drops that
// announcement; every other event goes on as it would without this handler.
QAccessible::UpdateHandler previousHandler = nullptr;
const QObject* quietButton = nullptr;

void dropUnchangedNames(QAccessibleEvent* event)
{
    if (event->type() == QAccessible::NameChanged && quietButton && event->object() == quietButton)
        return;
    if (previousHandler) {
        previousHandler(event);
        return;
    }
    // No handler of our own while Qt delivers it to the platform (AT-SPI).
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(dropUnchangedNames);
}

} // namespace

void installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(simpleTextFactory);
        previousHandler = QAccessible::installUpdateHandler(dropUnchangedNames);
        return true;
    }();
    Q_UNUSED(installed)
}

} // namespace Lumo

namespace Lumo {

void setButtonText(QAbstractButton* button, const QString& text)
{
    if (button->accessibleName().isEmpty()) {
        button->setText(text);
        return;
    }
    quietButton = button;
    button->setText(text);
    quietButton = nullptr;
}

} // namespace Lumo
