#include "console/dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "console/category_commands.h"
#include "console/command_line.h"
#include "console/info_commands.h"
#include "console/report_commands.h"
#include "console/script_commands.h"
#include "console/settings_commands.h"
#include "console/solver_commands.h"
#include "console/tree_commands.h"

std::string SkipLabel;

const CommandRow CommandTable[] = {
    {"is_ready", CmdIsReady, 1},
    {"solver_time", CmdSolverTime, 1},
    {"show_hand_order", CmdShowHandOrder, 1},
    {"show_settings", CmdShowSettings, 1},
    {"show_tree_params", CmdShowTreeParams, 1},
    {"set_threads", CmdSetThreads, 2},
    {"oxa_set_threads", CmdSetThreads, 2},
    {"set_recalc_accuracy", CmdSetRecalcAccuracy, 4},
    {"set_isomorphism", CmdSetIsomorphism, 3},
    {"skip_if_done", CmdSkipIfDone, 3},
    {"is_tree_present", CmdIsTreePresent, 1},
    {"go", CmdGo, -1},
    {"stop", CmdStop, 1},
    {"load_script", CmdLoadScript, 2},
    {"set_range", CmdSetRange, 1328},
    {"set_board", CmdSetBoard, -1},
    {"set_pot", CmdSetPot, 4},
    {"clear_lines", CmdClearLines, 1},
    {"free_schematic_tree", CmdClearLines, 1},
    {"add_line", CmdAddLine, -1},
    {"remove_line", CmdRemoveLine, -1},
    {"force_line", CmdForceLine, -1},
    {"cut_line", CmdCutLine, 2},
    {"build_tree", CmdBuildTree, 1},
    {"load_tree", CmdLoadTree, 2},
    {"free_tree", CmdFreeTree, 1},
    {"show_node", CmdShowNode, 2},
    {"show_children", CmdShowChildren, 2},
    {"show_strategy", CmdShowStrategy, 2},
    {"show_strategy_pp", CmdShowStrategyPp, 2},
    {"show_locked_combos", CmdShowLockedCombos, 2},
    {"show_range", CmdShowRange, -1},
    {"show_probs", CmdShowProbs, 2},
    {"calc_results", CmdCalcResults, 1},
    {"calc_ev", CmdCalcEv, 3},
    {"calc_ev_pp", CmdCalcEvPp, 3},
    {"calc_ev_line", CmdCalcEvLine, 3},
    {"calc_line_freq", CmdCalcLineFreq, 2},
    {"calc_global_freq", CmdCalcGlobalFreq, 2},
    {"calc_eq", CmdCalcEq, 2},
    {"calc_eq_pp", CmdCalcEqPp, 2},
    {"calc_eq_node", CmdCalcEqNode, 3},
    {"stdoutredi", CmdStdoutRedirect, 2},
    {"stdoutredi_append", CmdStdoutRedirectAppend, 2},
    {"stdoutback", CmdStdoutBack, 1},
    {"wait_for_solver", CmdWaitForSolver, 1},
    {"show_memory", CmdShowMemory, 1},
    {"node_count", CmdNodeCount, 1},
    {"show_effective_stack", CmdShowEffectiveStack, 1},
    {"set_eff_stack", CmdSetEffStack, 2},
    {"set_rake", CmdSetRake, 3},
    {"set_ev_boost", CmdSetEvBoost, 3},
    {"set_accuracy", CmdSetAccuracy, -1},
    {"forget", CmdForget, 2},
    {"rebuild_forgotten_streets", CmdRebuildForgottenStreets, 1},
    {"rebuild_all", CmdRebuildForgottenStreets, 1},
    {"solve_all_splits", CmdSolveAllSplits, 2},
    {"lock_node", CmdLockNode, 2},
    {"unlock_node", CmdUnlockNode, 2},
    {"set_strategy", CmdSetStrategy, 1329},
    {"combo_lock_node", CmdComboLockNode, 1328},
    {"solve_partial", CmdSolvePartial, 2},
    {"explo_partial", CmdExploPartial, 2},
    {"show_category_names", CmdShowCategoryNames, 1},
    {"show_categories", CmdShowCategories, -1},
    {"oxa_set_compression", CmdSetCompression, 2},
    {"set_compression", CmdSetCompression, 2},
    {"oxa_get_actual_compression", CmdGetActualCompression, 1},
    {"get_actual_compression", CmdGetActualCompression, 1},
    {"oxa_get_instruction_set", CmdGetInstructionSet, 1},
    {"get_instruction_set", CmdGetInstructionSet, 1},
    {"set_scheduler", CmdSetScheduler, 2},
    {"sleep", CmdSleep, 2},
    {"take_a_break", CmdTakeABreak, 2},
    {"repeat", CmdRepeat, -1},
    {"echo", CmdEcho, -1},
    {"ignore_mem_check", CmdIgnoreMemCheck, 2},
    {"show_cpu_info", CmdShowCpuInfo, 1},
    {"help", CmdHelp, 1},
};

const int CommandTableSize = static_cast<int>(sizeof CommandTable / sizeof CommandTable[0]);

void CheckTokenCount(const TokenVector& words, size_t count) {
  if (words.size() != count) ThrowBadArguments(words);
}

namespace {
// "ERROR: " and " out of memory\n" around the word make at most 255 characters.
constexpr size_t kRefusedWordShown = 255 - 22;
}  // namespace

// Formatted on the stack: the answer needs no memory (core/output.h).
void AnswerOutOfMemory(std::string_view word) {
  Output("ERROR: %.*s out of memory\n", static_cast<int>(std::min(word.size(), kRefusedWordShown)), word.data());
}

void ReserveDispatchBuffers() {
  size_t longest = 0;
  for (int i = 0; i < CommandTableSize; ++i) longest = std::max(longest, strlen(CommandTable[i].word));
  CurrentCommandName.reserve(longest);
  ReservePendingOutput();
}

void DispatchCommand(const TokenVector& words) {
  // Word by word: a copy of the line could fail where the line was read.
  if (EchoMode) {
    for (size_t i = 0; i < words.size(); ++i) {
      if (i) fputc(' ', stdout);
      fwrite(words[i].data(), 1, words[i].size(), stdout);
    }
    fputc('\n', stdout);
  }
  if (words.empty()) return;
  if (words.size() >= 2 && words[0] == "LABEL:") {
    if (words[1] == SkipLabel) SkipLabel.clear();
    return;
  }
  if (!SkipLabel.empty()) return;
  if (words[0][0] == '#') return;
  if (words[0] == "exit") TerminateProcess(0);

  const CommandRow* row = nullptr;
  for (int i = 0; i < CommandTableSize; ++i) {
    if (words[0] == CommandTable[i].word) {
      row = &CommandTable[i];
      break;
    }
  }
  if (!row) {
    // In pieces, never formatted on the heap: the answer needs no memory
    // while it fits the reply buffer's reserve (4 KB); a longer one that the
    // buffer cannot take is printed at once, a piece a line (core/output.h).
    OutputText("ERROR: Command ");
    OutputText(words[0]);
    OutputText(" not recognized\n");
    return;
  }
  try {
    if (row->wordCount > 0) CheckTokenCount(words, static_cast<size_t>(row->wordCount));
    CurrentCommandName = words[0];
    row->handler(words);
  } catch (const std::invalid_argument&) {
    Output("Invalid value\n");
  } catch (const std::out_of_range&) {
    Output("Invalid value\n");
  } catch (const std::bad_alloc&) {
    // What the handler left in the reply may be what exhausted the memory.
    ClearPendingOutput();
    AnswerOutOfMemory(words[0]);
  } catch (const CommandError& error) {
    OutputText(error.what());
  } catch (const std::runtime_error& error) {
    OutputText(error.what());
  } catch (const std::exception& error) {
    OutputText("ERROR: " + words[0] + " " + error.what() + "\n");
  } catch (const char* text) {
    Output("#exception: %s\n", text);
    fflush(stdout);
    throw;
  }
}

void DispatchLine(const std::string& line, CommandWords& words) {
  try {
    words.Split(line);
  } catch (const std::bad_alloc&) {
    // Only a line beyond the bounds the words were reserved for gets here.
    // Its first word is copied from the line onto the stack: the refusal
    // needs no memory either.
    char word[kRefusedWordShown];
    const size_t size = CopyFirstWord(line, word, sizeof word);
    if (size > 0) AnswerOutOfMemory(std::string_view(word, size));
    return;
  }
  DispatchCommand(words.Words());
}
