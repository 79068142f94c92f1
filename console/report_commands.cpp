#include "console/report_commands.h"

#include "game/node_path.h"
#include "results/node_report.h"

void CmdShowNode(const TokenVector& words) {
  const NodeRef ref = ResolveNodePath(words[1]);
  PrintNodeInfo(words[1], ref);
  Output("END\n");
}

void CmdShowChildren(const TokenVector& words) { PrintNodeChildren(words[1], ResolveNodePath(words[1])); }
