#include "platform/accessibility.h"

#include "platform/simpletextwidget.h"

#include <QAccessibleWidget>

namespace Lumo {

namespace {

class SimpleTextAccessible : public QAccessibleWidget {
public:
    explicit SimpleTextAccessible(CSimpleTextWidget* widget) : QAccessibleWidget(widget, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override
    {
        const auto* label = static_cast<const CSimpleTextWidget*>(widget());
        switch (kind) {
        case QAccessible::Name:
            return label->accessibleName().isEmpty() ? label->text() : label->accessibleName();
        case QAccessible::Description:
            return label->accessibleDescription();
        case QAccessible::Value:
            return label->text();
        default:
            return QAccessibleWidget::text(kind);
        }
    }
};

// The text widget shares its base's meta-object, so it is told apart by its type, not its name.
QAccessibleInterface* simpleTextFactory(const QString&, QObject* object)
{
    if (auto* label = dynamic_cast<CSimpleTextWidget*>(object))
        return new SimpleTextAccessible(label);
    return nullptr;
}

} // namespace

void installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(simpleTextFactory);
        return true;
    }();
    Q_UNUSED(installed)
}

} // namespace Lumo
