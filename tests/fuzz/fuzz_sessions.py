#!/usr/bin/env python3
"""Hostile console sessions against the built program.

A deterministic generator (fixed seeds) writes short sessions: valid set-up
lines for small trees mixed with mutated commands, hostile numbers, odd node
paths and solves. Each session ends with stop, wait_for_solver and is_ready.
A session fails on a signal or abort, a non-zero exit status, a sanitizer
report, a hang, a missing final reply, or a number that is not one in a
result or report line: any infinity or negative NaN, and a NaN anywhere but
where the reports print it for a hand without a value ("nan" in the rows of
calc_ev and calc_eq, "nan; nan" in their per-hand lists) or for a quotient
of no weight by no weight (a player with no hand off a node's board: the
reach of show_probs, the single numbers of calc_line_freq, calc_global_freq
and calc_eq_node).

Usage: fuzz_sessions.py BINARY [--sessions N] [--seed S] [--jobs J]
           [--address-space-mb MB]
With --address-space-mb the address space of each run is capped (not for
sanitizer builds, which reserve far more; they get the allocator limits of
ASAN_OPTIONS instead).
"""
import argparse
import concurrent.futures
import os
import random
import re
import resource
import subprocess
import sys

RANKS = "23456789TJQKA"
SUITS = "cdhs"
CARDS = [r + s for r in RANKS for s in SUITS]
HOSTILE_NUMBERS = ["nan", "-nan", "inf", "-inf", "1e308", "-1e308", "1e30", "4000000000", "-2147483649",
                   "2147483647", "99999999999999999999", "0x10", "-0", "0.0000001", "1e-320", "", "  ",
                   "12abc", "-1", "0", "1", "3.5", "1e9", "1e10"]
HOSTILE_WORDS = ["OOP", "IP", "hero", "villain", "nobody", "rivers", "turns", "flop", "auto", "none", "max",
                 "r", "r:", "r:0:", "r::0", "r:0:b", "r:0:bnan", "r:0:b1e308", "r:0:Xx", "r:0:c:c:c:c:c",
                 "\x01\x02", "\xff", "\"", "#", "LABEL:", "x" * 3000]
REPORT_COMMANDS = ["show_strategy", "show_strategy_pp", "show_locked_combos", "show_probs", "calc_ev",
                   "calc_ev_pp", "calc_ev_line", "calc_line_freq", "calc_global_freq", "calc_eq_node",
                   "lock_node", "unlock_node", "solve_partial", "explo_partial"]
# Trees on each root street (by board size) whose lines reach decision nodes
# on every later street, and node paths into them: T and R stand for a turn
# and a river card off the board.
FORGET_SPOTS = {
    3: (["0 0 0 0 0 50 50", "0 0 0 50 50 50 50", "50 50 50 50 50 50", "0 0 0 0 0 0"],
        ["r:0", "r:0:c", "r:0:c:c:T", "r:0:c:c:T:c", "r:0:c:c:T:c:b50", "r:0:c:c:T:c:c:R", "r:0:c:c:T:c:c:R:c",
         "r:0:c:c:T:c:b50:c:R", "r:0:b50:c:T:c", "r:0:b50:c:T:c:c:R"]),
    4: (["0 0 0 50 50", "0 50 50 50 50", "50 50 50 100 100", "0 0 0 0"],
        ["r:0", "r:0:c", "r:0:c:c:R", "r:0:c:c:R:c", "r:0:c:b50:c:R", "r:0:b50:c:R", "r:0:b50:c:R:c"]),
    5: (["0 50 50", "0 0", "50 150 150", "0 100 100"],
        ["r:0", "r:0:c", "r:0:b50", "r:0:b100", "r:0:c:b50"]),
}
RESULT_LINE = re.compile(r"^(EV OOP|EV IP|OOP's MES|IP's MES|Exploitable for):")
# Strategy weights far beyond a hand weight, and tiny ones.
HOSTILE_STRATEGY_WEIGHTS = ["1e308", "1e300", "1e39", "3e35", "1e10", "1e9", "1e-300", "4e-39"]
HAND = r"[2-9TJQKA][cdhs][2-9TJQKA][cdhs]"
STRATEGY_PP_LINE = re.compile(r"^%s:(  \S+)+$" % HAND)       # show_strategy_pp
VALUE_PP_LINE = re.compile(r"^%s: (\S+); (\S+)$" % HAND)     # calc_ev_pp, calc_eq_pp
PROBS_LINE = re.compile(r"^OOP (\S+) IP (\S+) (.*)$")        # show_probs
NUMBER = re.compile(r"^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")
NOT_A_NUMBER = {"nan", "-nan", "inf", "-inf", "+inf", "+nan"}
SANITIZER = re.compile(r"(AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:|"
                       r"ThreadSanitizer)")


class SessionWriter:
    def __init__(self, rng):
        self.rng = rng
        self.lines = []
        self.board = []
        self.amounts = [0]

    def board_line(self):
        n = self.rng.choice([3, 3, 4, 5])
        self.board = self.rng.sample(CARDS, n)
        return "set_board " + " ".join(self.board)

    def range_line(self, player):
        weights = ["0"] * 1326
        for i in self.rng.sample(range(1326), self.rng.randint(1, 60)):
            weights[i] = self.rng.choice(["1", "0.5", "0.25", "2", "1e-6", "100"])
        return "set_range %s %s" % (player, " ".join(weights))

    def weights_words(self):
        # 1326 hand weights for the strategy writers, a few of them odd.
        weights = ["0"] * 1326
        for i in self.rng.sample(range(1326), self.rng.randint(1, 40)):
            weights[i] = self.rng.choice(["1", "0.5", "0", "nan", "-1", "1e300", "3"])
        return " ".join(weights)

    def hostile_strategy(self):
        # One action of the root written with a hostile weight for every
        # hand, then the reports and results that read it, before and after
        # a few iterations.
        r = self.rng
        weight = r.choice(HOSTILE_STRATEGY_WEIGHTS)
        lines = ["stop", "wait_for_solver",
                 "set_strategy r:0 %d %s" % (r.choice([0, 1]), " ".join([weight] * 1326))]
        if r.random() < 0.5:
            lines.append("lock_node r:0")
        reports = ["show_strategy_pp r:0", "calc_results", "calc_ev_pp %s r:0" % r.choice(["OOP", "IP"]),
                   "show_probs r:0", "calc_eq_node OOP r:0"]
        lines += reports
        if r.random() < 0.5:
            lines += ["go %d steps" % r.randint(1, 5), "wait_for_solver"] + reports
        return lines

    def line_words(self):
        # Cumulative amounts of a short line: checks, bets, calls.
        words, current = [], 0
        for _ in range(self.rng.randint(1, 8)):
            step = self.rng.choice([0, 0, 10, 25, 50, 100])
            current += step
            words.append(str(current))
        return words

    def path(self):
        parts = ["r", "0"]
        for _ in range(self.rng.randint(0, 7)):
            choice = self.rng.random()
            if choice < 0.35:
                parts.append("c")
            elif choice < 0.6:
                parts.append("b" + self.rng.choice(["10", "25", "50", "100", "60", "125", "0"]))
            elif choice < 0.7:
                parts.append("f")
            else:
                parts.append(self.rng.choice(CARDS))
        if self.rng.random() < 0.1:
            return self.rng.choice(["r", "r:0", "r:1", "", "r:0:" + ":".join(["c"] * 20)])
        return ":".join(parts)

    def set_up(self):
        self.lines.append(self.rng.choice(["set_isomorphism 0 0"] * 4 + ["set_isomorphism 1 1"]))
        self.lines.append(self.board_line())
        self.lines.append("set_pot 0 0 %d" % self.rng.choice([10, 100, 250]))
        self.lines.append(self.range_line("OOP"))
        self.lines.append(self.range_line("IP"))
        for _ in range(self.rng.randint(1, 4)):
            self.lines.append("add_line " + " ".join(self.line_words()))
        if self.rng.random() < 0.3:
            self.lines.append("set_compression " + self.rng.choice(["auto", "0", "1", "2", "3", "4", "none"]))
        self.lines.append("build_tree")

    def spot_path(self, paths, cards):
        path = self.rng.choice(paths)
        return path.replace("T", cards[0]).replace("R", cards[1])

    def lock_command(self, path):
        r = self.rng
        return r.choice([
            lambda: "set_strategy %s %s %s" % (path, r.choice(["0", "1", "2"]), self.weights_words()),
            lambda: "lock_node " + path,
            lambda: "unlock_node " + path,
            lambda: "combo_lock_node %s %s" % (path, self.weights_words()),
        ])()

    def spot_tree(self, every_line):
        # A tree of one of the FORGET_SPOTS on a random root street and
        # compression level, with all of the spot's lines or some; returns
        # the spot's size, its node paths and the cards T and R stand for.
        r = self.rng
        size = r.choice([3, 4, 5])
        lines, paths = FORGET_SPOTS[size]
        cards = r.sample(CARDS, size + 2)
        self.board, dealt = cards[:size], cards[size:]
        self.lines.append(r.choice(["set_isomorphism 0 0", "set_isomorphism 1 1"]))
        self.lines.append("set_board " + " ".join(self.board))
        self.lines.append("set_pot 0 0 100")
        self.lines.append(self.range_line("OOP"))
        self.lines.append(self.range_line("IP"))
        chosen = lines if every_line else r.sample(lines, r.randint(2, len(lines)))
        self.lines += ["add_line " + line for line in chosen]
        self.lines.append("set_compression " + r.choice(["0", "1", "2", "3", "4"]))
        self.lines.append("build_tree")
        return size, paths, dealt

    def forget_session(self):
        # A solved tree, locks and written strategies on its later streets,
        # then forgetting and the queries, locks and rebuilds that follow it.
        r = self.rng
        size, paths, dealt = self.spot_tree(False)
        self.lines += ["go %d steps" % r.randint(1, 8), "wait_for_solver"]
        # A re-solve runs to its recalc accuracy (checked from iteration 50
        # on), else to its iteration cap; locked nodes can keep it from
        # converging. One pot is met at the first check, which keeps the
        # re-solves of turn sub-trees short; river roots also try a tight one.
        tight = size == 5 and r.random() < 0.3
        self.lines.append("set_recalc_accuracy %s" % ("0.02 0.02 0.02" if tight else "1 1 1"))
        for _ in range(r.randint(0, 3)):
            self.lines.append(self.lock_command(self.spot_path(paths, dealt)))
        self.lines.append("forget " + r.choice(["rivers", "turns"]))
        for _ in range(r.randint(2, 6)):
            path = self.spot_path(paths, dealt)
            self.lines.append(r.choice([
                lambda: "%s %s" % (r.choice(REPORT_COMMANDS), path),
                lambda: "show_node " + path,
                lambda: "show_range %s %s" % (r.choice(["OOP", "IP"]), path),
                lambda: "calc_ev %s %s" % (r.choice(["OOP", "IP"]), path),
                lambda: self.lock_command(path),
                lambda: "forget " + r.choice(["rivers", "turns"]),
                lambda: r.choice(["rebuild_all", "rebuild_forgotten_streets", "calc_results"]),
                lambda: "solve_all_splits " + r.choice(["rivers", "turns"]),
                lambda: "go 2 steps",
            ])())
            if self.lines[-1] == "go 2 steps":
                self.lines.append("wait_for_solver")

    def locked_session(self):
        # A strategy set and locked on a solved spot, after a forget that is
        # rebuilt or left standing, then read once, taken through solves,
        # partial and on-demand re-solves and queries, and read again: the
        # two reads must agree (the `LOCKED_READ` marks around them).
        r = self.rng
        size, paths, dealt = self.spot_tree(True)
        # Past iteration 60 the reports read the average strategy.
        self.lines += ["go %d steps" % r.choice([r.randint(1, 20), r.randint(50, 70)]), "wait_for_solver"]
        # River sub-trees re-solved to a tight accuracy run past the averaging
        # start of their own count and leave strategy sums behind.
        street = r.choice(["rivers"] + (["turns"] if size < 5 else []))
        tight = street == "rivers" and r.random() < 0.4
        self.lines.append("set_recalc_accuracy %s" % (
            "0.0005 0.0005 0.0005" if tight else r.choice(["1 1 1", "0.01 0.01 0.01"])))
        self.lines.append("forget " + street)
        # Rebuilt at once, after the lock, never (queries then re-solve), or
        # after a query has re-solved the node's runout.
        rebuild = r.choice(["now", "later", "later", "never", "queried"])
        path = self.spot_path(paths, dealt)
        if rebuild == "now":
            self.lines.append(r.choice(["rebuild_all", "rebuild_forgotten_streets"]))
        elif rebuild == "queried":
            self.lines += ["show_strategy " + path, "rebuild_all"]
        # A whole strategy set (one row per action; an index past the node's
        # actions is refused) and locked, or hands locked as the solve left
        # them or as set, or a lock taken back and another made.
        kind = r.choice(["set", "set", "combo", "set+combo", "relock"])
        if kind in ("set", "set+combo"):
            for child in r.sample(range(4), 4):
                weights = [r.choice(["1", "0", "0", "0.5"]) for _ in range(1326)]
                self.lines.append("set_strategy %s %d %s" % (path, child, " ".join(weights)))
        if kind == "relock":
            self.lines += ["lock_node " + path, "unlock_node " + path]
        if kind == "set" or (kind == "relock" and r.random() < 0.5):
            self.lines.append("lock_node " + path)
        else:
            share = r.choice([0.1, 0.5, 0.9])
            fixed = [h for h in range(1326) if r.random() < share]
            mask = ["0"] * 1326
            for h in fixed:
                mask[h] = r.choice(["1", "1", "0.5", "nan"])
            self.lines.append("combo_lock_node %s %s" % (path, " ".join(mask)))
            # Only these hands keep their strategy; the others are solved on.
            self.lines.append("echo LOCKED_HANDS:" + ",".join(map(str, fixed)))
        queries = lambda: r.choice([
            lambda: "%s %s" % (r.choice(["show_strategy", "calc_line_freq", "calc_global_freq", "explo_partial",
                                          "show_probs"]), self.spot_path(paths, dealt)),
            lambda: "calc_ev %s %s" % (r.choice(["OOP", "IP"]), self.spot_path(paths, dealt)),
            lambda: "solve_partial " + r.choice([path, self.spot_path(paths, dealt)]),
            lambda: "calc_results",
        ])()
        if r.random() < 0.7:
            self.lines.append(queries())
        self.lines += ["echo LOCKED_READ", "show_strategy " + path]
        self.lines += [queries() for _ in range(r.randint(0, 2))]
        if rebuild == "later":
            self.lines.append("rebuild_all")
        # Solved on past the start of averaging, or a little.
        self.lines += ["go %d steps" % r.choice([r.randint(1, 10), 70]), "wait_for_solver"]
        self.lines += [queries() for _ in range(r.randint(0, 2))]
        self.lines += ["echo LOCKED_READ", "show_strategy " + path]

    def command(self):
        r = self.rng
        choices = [
            lambda: "go %d steps" % r.randint(1, 30),
            lambda: "go",
            lambda: "wait_for_solver",
            lambda: "stop",
            lambda: "take_a_break 0",
            lambda: "calc_results",
            lambda: "show_node " + self.path(),
            lambda: "show_children " + self.path(),
            lambda: "forget " + r.choice(["rivers", "turns"]),
            lambda: r.choice(["rebuild_all", "rebuild_forgotten_streets"]),
            lambda: "solve_all_splits " + r.choice(["rivers", "turns"]),
            lambda: "set_compression " + r.choice(["auto", "0", "1", "2", "3", "4", "none", "low", "-3", "9"]),
            lambda: "get_actual_compression",
            # Now and then more workers than the address space holds.
            lambda: "set_threads %d" % (r.randint(0, 8) if r.random() < 0.9 else r.choice([64, 333, 22222])),
            lambda: "node_count",
            lambda: "show_effective_stack",
            lambda: "set_ev_boost %s %s" % (self.path(), r.choice(["0.5", "-0.5", "2", "nan"])),
            lambda: "cut_line " + self.path(),
            lambda: "remove_line " + " ".join(self.line_words()),
            lambda: "force_line " + " ".join(self.line_words()),
            lambda: "add_line " + " ".join(self.line_words()),
            lambda: "build_tree",
            lambda: "free_tree",
            lambda: "clear_lines",
            lambda: self.board_line(),
            lambda: "set_pot %s %s %s" % (r.choice(["0", "5"]), r.choice(["0", "5"]), r.choice(["100", "0"])),
            lambda: self.range_line(r.choice(["OOP", "IP"])),
            lambda: "set_accuracy %s %s" % (r.choice(["0.01", "1", "0"]), r.choice(["fraction", ""])),
            lambda: "show_tree_params",
            lambda: "is_tree_present",
            lambda: "show_categories " + " ".join(self.board or r.sample(CARDS, 3)),
            lambda: "repeat %d %s" % (r.randint(1, 5), r.choice(["x", "a b", "#c"])),
            lambda: "echo " + r.choice(["hi", "%s%n", "50%"]),
            lambda: "%s %s" % (r.choice(REPORT_COMMANDS), self.path()),
            lambda: "show_range %s %s" % (r.choice(["OOP", "IP"]), self.path()),
            lambda: "calc_eq %s" % r.choice(["OOP", "IP"]),
            lambda: "%s %s %s" % (r.choice(["calc_ev", "calc_ev_pp", "calc_ev_line", "calc_eq_node"]),
                                  r.choice(["OOP", "IP", "hero"]), self.path()),
            lambda: "set_strategy %s %s %s" % (self.path(), r.choice(["0", "1", "2", "-1", "x"]),
                                               self.weights_words()),
            lambda: "combo_lock_node %s %s" % (self.path(), self.weights_words()),
            lambda: "sleep %d" % r.randint(0, 5),
            lambda: "load_script /dev/null",
            lambda: "help",
        ]
        return r.choice(choices)()

    def mutate(self, line):
        r = self.rng
        words = line.split(" ")
        kind = r.random()
        if kind < 0.3 and len(words) > 1:
            words[r.randrange(1, len(words))] = r.choice(HOSTILE_NUMBERS)
        elif kind < 0.5 and len(words) > 1:
            words[r.randrange(1, len(words))] = r.choice(HOSTILE_WORDS)
        elif kind < 0.65 and len(words) > 1:
            del words[r.randrange(1, len(words))]
        elif kind < 0.75:
            words.insert(r.randrange(1, len(words) + 1), r.choice(HOSTILE_NUMBERS + HOSTILE_WORDS))
        elif kind < 0.85:
            words = words[:1]
        else:
            words[0] = words[0] + r.choice(["x", "_", ""]) if r.random() < 0.5 else words[0].upper()
        return " ".join(words)

    def session(self):
        if self.rng.random() < 0.15:
            self.locked_session()
            self.lines += ["stop", "wait_for_solver", "is_ready"]
            return "\n".join(self.lines) + "\n"
        forget = self.rng.random() < 0.25
        if forget:
            self.forget_session()
        else:
            self.set_up()
        for _ in range(self.rng.randint(0, 5) if forget else self.rng.randint(5, 30)):
            if self.rng.random() < 0.05:
                self.lines += self.hostile_strategy()
                continue
            line = self.command()
            # Long sleeps are allowed and would only stall the session.
            if self.rng.random() < 0.3 and not line.startswith(("sleep", "take_a_break")):
                line = self.mutate(line)
            self.lines.append(line)
            if re.fullmatch(r"go [0-9]{1,2} steps", line):
                if self.rng.random() < 0.7:
                    self.lines.append("wait_for_solver")
            elif line.lower().startswith("go"):
                # A solve without a small step limit runs until the accuracy
                # or the iteration cap: stop it rather than wait for it.
                self.lines.append("stop")
        self.lines += ["stop", "wait_for_solver", "is_ready"]
        return "\n".join(self.lines) + "\n"


def echoed_words(text):
    # What echo and repeat may print back of the script's own words.
    words = set()
    for line in text.splitlines():
        parts = line.split()
        if parts and parts[0].lower() in ("echo", "repeat"):
            words.update(parts[1:])
            words.add(" ".join(parts[1:]))
            words.add(" ".join(parts[2:]))
    return words


def bad_number_line(line, echoed):
    """The reason why a result or report line holds a number that is not one,
    or None."""
    tokens = line.split()
    if not tokens or line.strip() in echoed or all(t in echoed for t in tokens):
        return None
    if RESULT_LINE.match(line):
        value = line.split(":", 1)[1].strip()
        return None if NUMBER.match(value) else "result"
    match = VALUE_PP_LINE.match(line)
    if match:
        value, weight = match.group(1), match.group(2)
        for t in (value, weight):
            if not (NUMBER.match(t) or t == "nan"):
                return "per-hand value"
        # A hand without a value has no weight either.
        if (value == "nan") != (weight == "nan") and not (value == "nan" and float(weight) == 0.0):
            return "per-hand value"
        return None
    if STRATEGY_PP_LINE.match(line):
        return None if all(NUMBER.match(t) for t in tokens[1:]) else "per-hand strategy"
    match = PROBS_LINE.match(line)
    if match:
        reach = [match.group(1), match.group(2)]
        actions = match.group(3).split()
        if any(not (NUMBER.match(t) or t == "nan") for t in reach):
            return "reach"
        return None if all(NUMBER.match(t) for t in actions[1::2]) else "action frequency"
    # A row of numbers (the per-hand rows and the single-number reports).
    if all(NUMBER.match(t) or t in NOT_A_NUMBER for t in tokens):
        bad = [t for t in tokens if t in NOT_A_NUMBER and t != "nan"]
        return "row of numbers" if bad else None
    return None


def locked_reads_differ(lines):
    """Why the two reads of a locked strategy disagree, or None. Each read is
    the block after a LOCKED_READ line; the rows may differ by the precision
    the storages keep them in."""
    reads = []
    hands = None
    for i, line in enumerate(lines):
        if line.startswith("LOCKED_HANDS:"):
            hands = set(int(h) for h in line[len("LOCKED_HANDS:"):].split(",") if h)
        if line == "LOCKED_READ":
            block = []
            for row in lines[i + 1:]:
                block.append(row)
                if row == "END" or row.startswith("ERROR"):
                    break
            reads.append(block)
    if len(reads) != 2:
        return None
    first, second = reads
    # A read refused for want of memory shows no strategy to compare.
    if any(len(read) == 1 and read[0].endswith(" out of memory") for read in reads):
        return None
    if len(first) != len(second):
        return "%d rows, then %d" % (len(first), len(second))
    for a, b in zip(first, second):
        x, y = a.split(), b.split()
        if len(x) != len(y):
            return "rows of %d and %d values" % (len(x), len(y))
        for h, (u, v) in enumerate(zip(x, y)):
            if u == v or (hands is not None and h not in hands):
                continue
            if not (NUMBER.match(u) and NUMBER.match(v)) or abs(float(u) - float(v)) > 1e-3:
                return "%s became %s" % (u, v)
    return None


def run_session(binary, seed, address_space_mb, timeout):
    text = SessionWriter(random.Random(seed)).session()

    def limit():
        if address_space_mb:
            size = address_space_mb << 20
            resource.setrlimit(resource.RLIMIT_AS, (size, size))

    try:
        done = subprocess.run([binary], input=text.encode("latin-1"), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        return seed, "no reply within %d s (hang)" % timeout, text
    out = done.stdout.decode("latin-1")
    err = done.stderr.decode("latin-1")
    lines = out.splitlines()
    if done.returncode < 0:
        return seed, "killed by signal %d" % -done.returncode, text
    if done.returncode != 0:
        # The failure routine prints its line on standard output.
        last = lines[-1] if lines else ""
        return seed, "exit status %d: %s %s" % (done.returncode, last[:300], err[-2000:]), text
    if SANITIZER.search(err) or SANITIZER.search(out):
        return seed, "sanitizer report: " + err[-3000:], text
    echoed = echoed_words(text)
    for line in lines:
        reason = bad_number_line(line, echoed)
        if reason:
            return seed, "not a number in a %s line: %s" % (reason, line[:300]), text
    moved = locked_reads_differ(lines)
    if moved:
        return seed, "a locked strategy moved: " + moved, text
    if not lines or lines[-1] != "is_ready ok!":
        return seed, "missing final reply (last line: %r)" % (lines[-1] if lines else None), text
    return seed, None, text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--sessions", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--address-space-mb", type=int, default=0)
    parser.add_argument("--timeout", type=int, default=60)
    args = parser.parse_args()
    seeds = range(args.seed, args.seed + args.sessions)
    failures = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for seed, problem, text in pool.map(
                lambda s: run_session(args.binary, s, args.address_space_mb, args.timeout), seeds):
            if problem:
                failures.append((seed, problem, text))
    for seed, problem, _ in failures:
        print("session %d: %s" % (seed, problem.splitlines()[0] if problem else problem))
    for seed, problem, text in failures[:3]:
        print("session %d: %s" % (seed, problem))
        print("--- session %d script (lines cut at 200 characters):" % seed)
        for line in text.splitlines():
            print(line[:200])
    print("%d passed, %d failed" % (args.sessions - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
