#include "game/tree_state.h"

#include "core/output.h"
#include "core/settings.h"

bool TreeBuilt = false;
bool LoadFlag = false;
int RootStreet = 1;
int EffectiveStack = 0;
uint32_t CurrentBuildStamp = 0;
CardMask TreeBoardMasks[3] = {0, 0, 0};
double TreePot = 0.0;

const CardMask* ReportBoardMasks() { return TreeBuilt ? TreeBoardMasks : BoardMasks; }

double ReportPot() { return TreeBuilt ? TreePot : PotSettings[2]; }

void RequireTree() {
  if (!TreeBuilt) ThrowCommandError("missing/incorrect tree");
}
