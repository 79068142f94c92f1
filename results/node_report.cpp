#include "results/node_report.h"

#include <string>

#include "console/output.h"
#include "console/settings.h"
#include "game/cards.h"
#include "game/line_tree.h"

void PrintNodeBoard(const NodeRef& ref) {
  std::string line;
  for (CardMask flop = BoardMasks[0]; flop; flop &= flop - 1) {
    if (!line.empty()) line += ' ';
    line += CardText(CardOfMask(flop));
  }
  if (ref.turnCard >= 0) line += " " + CardText(ref.turnCard);
  if (ref.riverCard >= 0) line += " " + CardText(ref.riverCard);
  Output("%s\n", line.c_str());
}

void PrintNodeAmounts(const NodeRef& ref) {
  const double oop = ref.node ? ref.node->chipsOop : 0.0;
  const double ip = ref.node ? ref.node->chipsIp : 0.0;
  Output("%g %g %g\n", oop, ip, PotSettings[2]);
}
