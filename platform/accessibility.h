#pragma once

class QAbstractButton;
class QString;

namespace Lumo {

// Makes the in-house text widget (CSimpleTextWidget) readable by assistive technology: static
// text whose words are read through the text interface, named by its accessible name where set.
// Must run before any such widget exists: Qt keeps the first interface it made for a widget.
// Once per process is enough; GUI thread.
void installAccessibility();

// Sets a button's text. Where the button's accessible name is set (and so does not follow the
// text), assistive technology is not told of a name change that did not happen. GUI thread.
void setButtonText(QAbstractButton* button, const QString& text);

} // namespace Lumo
