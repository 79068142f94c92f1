// The hand order of the command language and its conversion tables.
//
// Users give and receive 1326 hand values in a fixed order (the hand-order
// string: "2d2c 2h2c 2h2d ...", cards numbered rank-major); inside the system
// every per-hand array is in combo-index order. These tables convert.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/cards.h"

extern std::string HandOrderString;           // 1326 entries, 6629 characters
extern CardMask HandMaskByOrder[kComboCount];  // position -> card mask
extern uint16_t ComboIndexByOrder[kComboCount];
extern uint16_t OrderByComboIndex[kComboCount];
// 169 classes, 13 * row + column: suited above the diagonal (row = low rank),
// offsuit below (row = high rank), pairs on it. Hands in hand-order sequence.
extern std::vector<uint16_t> HandClassLists[169];

void BuildHandOrderTables();

// out[i] = values[table[i]]: with OrderByComboIndex turns hand-order input into
// combo order; with ComboIndexByOrder turns combo order into hand order.
std::vector<double> ReorderHandValues(const std::vector<double>& values, const uint16_t* table);

