#pragma once

#include <QtGlobal>

// A port on this machine's loopback where every connection is refused: the mail server is down.
// The port stays bound (without listening) for the whole run of the test, on 127.0.0.1 and, where
// there is one, ::1, so nothing else can take it meanwhile; the same port on every call. 0 when
// no port could be bound.
quint16 deadPort();
