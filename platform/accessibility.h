#pragma once

namespace Lumo {

// Makes the in-house text widget (CSimpleTextWidget) readable by assistive technology: its text
// (or accessible name and description, where set) through Qt's accessibility interface, in the
// role of static text. Once per process is enough; GUI thread.
void installAccessibility();

} // namespace Lumo
