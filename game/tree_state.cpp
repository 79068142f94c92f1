#include "game/tree_state.h"

#include "core/output.h"

bool TreeBuilt = false;
bool LoadFlag = false;
int RootStreet = 1;
int EffectiveStack = 0;
uint32_t CurrentBuildStamp = 0;

void RequireTree() {
  if (!TreeBuilt) ThrowCommandError("missing/incorrect tree");
}
