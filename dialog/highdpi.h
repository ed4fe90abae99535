#pragma once

namespace Lumo {

// Scaling for high-DPI screens, set before the application object exists. The dialog is laid out
// in fixed pixels, so the scale factor is rounded to a whole number under Qt 5 and Qt 6 alike
// (Qt 6 otherwise passes 1.25 or 1.5 through, and the fixed layout grows by odd sizes).
void prepareHighDpi();

} // namespace Lumo
