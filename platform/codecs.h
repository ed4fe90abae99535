#pragma once

class QTextCodec;

namespace Lumo {

// The in-house text codec: GB18030, which encodes every Unicode character and is a superset of
// GB2312 and GBK. Null when the Qt build lacks it.
QTextCodec* getCodecs();

// Installs the codec chosen at start-up. On Windows it also becomes the locale codec. On POSIX
// systems file names must keep the system's own encoding, so there it only serves the 8-bit texts
// of the report mail.
void installCodec(QTextCodec* codec);

// The codec for the 8-bit texts of the report mail: the one installed at start-up, or
// getCodecs() when none was installed. Safe to call from any thread after start-up.
QTextCodec* mailCodec();

} // namespace Lumo
