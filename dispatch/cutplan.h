#pragma once

#include "dispatch/reportmail.h"

#include <QtGlobal>

// How a report is cut into mails that each stay under the server's size limit: count mails of
// pieceBytes archive bytes each (the last one shorter). count 0: no piece size fits at all.
struct CutPlan {
    int count = 1;
    quint64 pieceBytes = 0;
};

// The plan for an archive of archiveSize bytes whose whole mail is wholeMailSize octets, when a
// piece mail costs pieceOverhead octets besides its attachment. limit 0: no limit, one mail.
// Pieces aim under 90 % of the limit (servers count a little differently), in whole base64 lines.
CutPlan planCut(quint64 archiveSize, quint64 wholeMailSize, quint64 pieceOverhead, quint64 limit);

// Whether a cut recorded earlier (count mails of pieceBytes) still covers exactly archiveSize
// bytes: then every later attempt sends the missing pieces of that cut.
bool cutCovers(int count, quint64 pieceBytes, quint64 archiveSize);

// The even cut into count pieces: the most pieces allowed, tried against the server as it is now.
CutPlan evenCut(quint64 archiveSize, int count);

// Piece index (from 1) of a cut into pieces of pieceBytes.
OpenArchive pieceOf(const OpenArchive& whole, quint64 pieceBytes, int index);

// What a mail may hold of a limit: servers count a little differently.
quint64 mailBudget(quint64 limit);
