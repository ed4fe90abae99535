#pragma once

class QDialog;

namespace Lumo {

class CDialogHelper {
public:
    // Centres the dialog in the available area of the screen it is on (the primary one if none).
    static void fixCenter(QDialog* dialog);
};

} // namespace Lumo
