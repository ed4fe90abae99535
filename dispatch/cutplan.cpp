#include "dispatch/cutplan.h"

namespace {

// Each mail stays this far under the limit.
constexpr quint64 kRoomPercent = 90;

} // namespace

quint64 mailBudget(quint64 limit)
{
    return limit / 100 * kRoomPercent;
}

CutPlan planCut(quint64 archiveSize, quint64 wholeMailSize, quint64 pieceOverhead, quint64 limit)
{
    CutPlan plan;
    plan.pieceBytes = archiveSize;
    if (limit == 0 || wholeMailSize < limit)
        return plan;
    const quint64 budget = mailBudget(limit);
    if (pieceOverhead >= budget) {
        plan.count = 0;
        return plan;
    }
    // Whole base64 lines: 57 bytes make 78 octets on the wire.
    plan.pieceBytes = qMax<quint64>(57, (budget - pieceOverhead) / 78 * 57);
    plan.count = static_cast<int>((archiveSize + plan.pieceBytes - 1) / plan.pieceBytes);
    return plan;
}

bool cutCovers(int count, quint64 pieceBytes, quint64 archiveSize)
{
    return count > 1 && pieceBytes > 0 && pieceBytes * static_cast<quint64>(count) >= archiveSize &&
           pieceBytes * static_cast<quint64>(count - 1) < archiveSize;
}

CutPlan evenCut(quint64 archiveSize, int count)
{
    CutPlan plan;
    plan.count = count;
    plan.pieceBytes = (archiveSize + static_cast<quint64>(count) - 1) / static_cast<quint64>(count);
    return plan;
}

OpenArchive pieceOf(const OpenArchive& whole, quint64 pieceBytes, int index)
{
    OpenArchive piece = whole;
    piece.offset = pieceBytes * static_cast<quint64>(index - 1);
    piece.size = qMin(pieceBytes, whole.size - piece.offset);
    return piece;
}
