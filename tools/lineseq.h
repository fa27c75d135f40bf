// Reset sequences: DTR and RTS levels and pauses that put a target into its
// boot ROM's download mode without a hand on the board. Parsing only; the
// port layer applies the steps. Plain C++, no system headers.
#pragma once
#include <cstddef>
#include <vector>

// One step: the levels to set together (1 asserted, 0 released, -1 left as
// they are), then the pause before the next step.
struct LINESTEP {
    int dtr;
    int rts;
    int msPause;
};

// A named sequence for a common wiring.
struct LINEPRESET {
    const char *pszName;
    const char *pszSequence;     // in the spelled-out form
};
extern const LINEPRESET aLinePreset[3];

// Parses a preset's name or a spelled-out sequence: comma-separated items
// dtr=0|1, rts=0|1 and pauses like 100ms. Levels without a pause between
// them are set together. False with the reason in szWhy when it is not one.
bool ParseLineSeq(const char *psz, std::vector<LINESTEP> *pSteps, char *szWhy, size_t cb);
