// The line frequency reports: how often the betting line of a node is taken,
// over every runout (calc_line_freq) or on the path's own (calc_global_freq).
#pragma once

#include <string>

#include "game/node_path.h"
#include "solver/line_frequency.h"

// Appends the deal codes of every runout between the root street and the
// street of the reference's node; `last` is the last turn card given a list
// (start -1).
void CollectDealCodes(const NodeRef& ref, int& last, DealCodeLists& lists);

void PrintLineFrequency(const std::string& path);
void PrintGlobalFrequency(const std::string& path);
