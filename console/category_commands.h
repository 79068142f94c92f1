// Handlers of show_category_names and show_categories.
#pragma once

#include "core/output.h"

void CmdShowCategoryNames(const TokenVector& words);
// The words after the command form one card list of 3 to 5 cards.
void CmdShowCategories(const TokenVector& words);
