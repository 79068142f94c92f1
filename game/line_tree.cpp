#include "game/line_tree.h"

std::unique_ptr<SchematicNode> SchematicRoot = std::make_unique<SchematicNode>();
