#pragma once
// Deletion from a table with open addressing and linear probing, for the
// list of live addresses.

#include <cstddef>

// Backward-shift deletion: after the slot at i_hole was emptied, each entry
// of the run that follows moves back into the hole unless its home slot
// lies cyclically in (hole, entry], so no probe chain is broken and no
// tombstone is needed. i_full(j) tells whether slot j holds an entry,
// i_home(j) the home slot of that entry, i_move(from, to) moves it. Returns
// the slot left empty at the end, which the caller clears.
template <class Full, class Home, class Move>
size_t ShiftBackAfterHole(size_t i_hole, size_t i_mask, Full i_full, Home i_home, Move i_move)
{
    size_t hole = i_hole;
    for (size_t j = (hole + 1) & i_mask; i_full(j); j = (j + 1) & i_mask)
    {
        const size_t home = i_home(j);
        const bool homeBetween = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (!homeBetween)
        {
            i_move(j, hole);
            hole = j;
        }
    }
    return hole;
}
