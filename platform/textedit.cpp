#include "platform/textedit.h"

namespace Lumo {

CTextEdit::CTextEdit(int /*style*/, QWidget* parent, bool readOnly, bool richText)
    : CEventWidgetT<QTextEdit>(parent)
{
    setReadOnly(readOnly);
    setAcceptRichText(richText);
}

CTextEdit::~CTextEdit() = default;

} // namespace Lumo
