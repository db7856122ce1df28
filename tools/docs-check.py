#!/usr/bin/env python3
"""The README checked against the program it describes.

Each fenced block of README.md may carry a directive, an HTML comment on the
line just before its fence (invisible where the README is shown):

  <!-- docs-check: run -->                 every command line of the block runs
                                           in the scratch folder and must exit 0
  <!-- docs-check: run; interrupt "corvane run" after 2 s; with A => B -->
                                           the same; that line gets a SIGINT
                                           after 2 s (and must still exit 0);
                                           before running, text A becomes B
                                           (a long campaign made short)
  <!-- docs-check: run in the repository; skip "make test" (CI's own stage) -->
  <!-- docs-check: run; background "corvane run --pty P &"; with P => Q -->
                                           started, and stopped with Ctrl-C at
                                           the end (it must exit 0); {scratch}
                                           in Q is the check's folder
  <!-- docs-check: run with /usr/bin/python3; prints "TEXT" -->
                                           a python block, run; one line it
                                           prints must start with TEXT
  <!-- docs-check: output of COMMAND -->   each line of the block must be a line
                                           COMMAND prints (stdout and stderr),
                                           in the block's order; "..." in a
                                           line stands for any text, a line of
                                           "..." alone for any lines
  <!-- docs-check: file NAME, NAME -->     the block's text is written to these
                                           files in the scratch folder
  ...; write NAME: TEXT                    a file of one line, before anything runs
  ...; link NAME to PATH                   a symbolic link (PATH from the folder)
  <!-- docs-check: not checked: REASON --> said so in the check's output

A sh or python block without a directive fails the check, as does an "about N" figure in
the prose that the check does not measure (FIGURES below says which it does
and with what tolerance). The commands run with `corvane` on the PATH (the
built program), in build/docs-check/corvane, beside a link `../shared` to the
recorded logs, so that the README's paths work as written.

On a difference it prints the README line, what the command printed there
now, and the one command that runs it again.

Usage: tools/docs-check.py [--program build/default/corvane] [--only TEXT]
"""

import argparse
import difflib
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
COMMAND_TIMEOUT = 600


class Block:
    def __init__(self, line, info, text, directive, directive_line):
        self.line = line  # the README line of the opening fence (1-based)
        self.info = info
        self.text = text  # lines between the fences, indentation of the fence removed
        self.directive = directive
        self.directive_line = directive_line


def read_blocks(readme):
    lines = readme.read_text().split("\n")
    blocks = []
    i = 0
    while i < len(lines):
        m = re.match(r"^(\s*)```(\S*)\s*$", lines[i])
        if not m:
            i += 1
            continue
        indent, info, start = m.group(1), m.group(2), i
        body = []
        i += 1
        while i < len(lines) and lines[i].strip() != "```":
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i].lstrip())
            i += 1
        directive, directive_line = None, None
        before = start - 1
        if before >= 0:
            d = re.match(r"^\s*<!--\s*docs-check:\s*(.*?)\s*-->\s*$", lines[before])
            if d:
                directive, directive_line = d.group(1), before + 1
        blocks.append(Block(start + 1, info, body, directive, directive_line))
        i += 1
    return blocks


def command_lines(block):
    """The block's commands: comment-only and blank lines dropped, continued
    lines joined; each with its README line."""
    out, pending, first = [], "", None
    for n, raw in enumerate(block.text):
        line = raw.rstrip()
        if not pending and (not line.strip() or line.lstrip().startswith("#")):
            continue
        if first is None:
            first = block.line + 1 + n
        if line.endswith("\\"):
            pending += line[:-1] + " "
            continue
        out.append((first, pending + line))
        pending, first = "", None
    return out


def without_comment(command):
    """The command without a trailing `# ...` comment (outside quotes)."""
    quote = None
    for i, c in enumerate(command):
        if quote:
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        elif c == "#" and (i == 0 or command[i - 1] in " \t"):
            return command[:i].rstrip()
    return command.rstrip()


class Check:
    def __init__(self, program, only):
        self.program = Path(program).resolve()
        self.only = only
        self.base = ROOT / "build" / "docs-check"
        self.work = self.base / "corvane"
        self.failures = 0
        self.outputs = {}  # command -> (status, text)
        self.cpu = {}  # command -> seconds of CPU (its processes, waited for)
        self.soak_summaries = []
        self.cpu_per_seed = []
        self.env = dict(os.environ)
        self.background = []  # (README line, command, process)

    def setup(self):
        shutil.rmtree(self.base, ignore_errors=True)
        (self.base / "bin").mkdir(parents=True)
        self.work.mkdir()
        (self.base / "bin" / "corvane").symlink_to(self.program)
        shared = (ROOT.parent / "shared").resolve()
        (self.base / "shared").symlink_to(shared)
        self.env["PATH"] = str(self.base / "bin") + os.pathsep + self.env.get("PATH", "")
        self.env.pop("CORVANE_SEED", None)
        self.env.pop("CORVANE_SCHEDULE", None)

    def again(self, command, cwd):
        return 'cd %s && PATH=%s:$PATH %s' % (cwd, self.base / "bin", command)

    def fail(self, where, what):
        self.failures += 1
        print("README.md:%d: %s" % (where, what))

    def run(self, command, cwd, interrupt_after=None):
        """Runs a shell command; its status and what it printed (both streams)."""
        if command in self.outputs:
            return self.outputs[command]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.monotonic()
        process = subprocess.Popen(["bash", "-c", command], cwd=cwd, env=self.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, start_new_session=interrupt_after is not None)
        try:
            if interrupt_after is not None:
                try:
                    text, _ = process.communicate(timeout=interrupt_after)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGINT)
                    text, _ = process.communicate(timeout=COMMAND_TIMEOUT)
            else:
                text, _ = process.communicate(timeout=COMMAND_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            text, _ = process.communicate()
            text += b"\n(killed by the check after %d s)\n" % COMMAND_TIMEOUT
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        text = text.decode("utf-8", "backslashreplace")
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        print("  %6.1f s wall %6.1f s CPU  %s" % (time.monotonic() - started, cpu, command), flush=True)
        self.outputs[command] = (process.returncode, text)
        self.cpu[command] = cpu
        for m in re.finditer(r"^soak (?:passed|stopped): .*?, ([0-9]+) preemptions per virtual hour", text, re.M):
            self.soak_summaries.append((command, int(m.group(1))))
        return self.outputs[command]

    def directive_parts(self, block):
        return [p.strip() for p in block.directive.split(";") if p.strip()]

    def block_run(self, block):
        parts = self.directive_parts(block)
        cwd = self.work
        skips, interrupts, substitutions, background, prints = {}, {}, [], set(), []
        for p in parts:
            if p == "run":
                continue
            if p == "run in the repository":
                cwd = ROOT
            elif p == "run with /usr/bin/python3":
                pass
            elif m := re.match(r'^background "(.+)"$', p):
                background.add(m.group(1))
            elif m := re.match(r'^prints "(.+)"$', p):
                prints.append(m.group(1))
            elif m := re.match(r'^skip "(.+)" \((.+)\)$', p):
                skips[m.group(1)] = m.group(2)
            elif m := re.match(r'^interrupt "(.+)" after ([0-9.]+) s$', p):
                interrupts[m.group(1)] = float(m.group(2))
            elif m := re.match(r"^with (.+)$", p):
                for pair in m.group(1).split(","):
                    a, b = pair.split("=>")
                    substitutions.append((a.strip(), b.strip().replace("{scratch}", str(self.base))))
            else:
                self.fail(block.directive_line, "unknown directive part: %s" % p)
        if parts[0] == "run with /usr/bin/python3":
            program = "\n".join(block.text)
            for a, b in substitutions:
                program = program.replace(a, b)
            path = self.base / ("block-%d.py" % block.line)
            path.write_text(program + "\n")
            status, text = self.run("/usr/bin/python3 " + str(path), cwd)
            printed = text.split("\n")
            for expected in prints:
                if not any(l.startswith(expected) for l in printed):
                    self.fail(block.line, "the program's output has no line that starts with %s; it printed:\n%s" %
                              (expected, "\n".join("    " + l for l in printed[:12])))
            if status != 0:
                self.fail(block.line, "the program exited with %s:\n%s" % (status, text))
            return
        for line, command in command_lines(block):
            shown = without_comment(command)
            if self.only and self.only not in shown:
                continue
            if shown in skips:
                print("  skipped: %s (%s)" % (shown, skips[shown]))
                continue
            actual = command
            for a, b in substitutions:
                actual = actual.replace(a, b)
            if shown in background:
                self.start_background(line, without_comment(actual).rstrip("&").strip(), cwd)
                continue
            status, text = self.run(actual, cwd, interrupts.get(shown))
            if status != 0:
                tail = "\n".join("    " + l for l in text.rstrip("\n").split("\n")[-8:])
                self.fail(line, "`%s` exited with %s; its last lines:\n%s\n  again: %s" %
                          (actual, status, tail, self.again(actual, cwd)))

    def start_background(self, line, command, cwd):
        """A command that serves the next blocks; stopped with SIGINT at the end
        of the check, when it must exit 0. It is up once the path its --pty
        names exists."""
        print("  started: %s" % command, flush=True)
        process = subprocess.Popen(["bash", "-c", "exec " + command], cwd=cwd, env=self.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        self.background.append((line, command, process))
        pty = re.search(r"--pty (\S+)", command)
        deadline = time.monotonic() + 20
        while pty and not os.path.exists(pty.group(1)) and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.05)

    def stop_background(self):
        for line, command, process in self.background:
            process.send_signal(signal.SIGINT)
            try:
                text, _ = process.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                text, _ = process.communicate()
            if process.returncode != 0:
                tail = text.decode("utf-8", "backslashreplace").rstrip("\n").split("\n")[-8:]
                self.fail(line, "`%s` exited with %s after Ctrl-C; its last lines:\n%s" %
                          (command, process.returncode, "\n".join("    " + l for l in tail)))

    def block_output(self, block, command):
        if self.only and self.only not in command:
            return
        status, text = self.run(command, self.work)
        printed = text.rstrip("\n").split("\n")
        at = 0
        for n, shown in enumerate(block.text):
            if not shown.strip():
                continue
            where = block.line + 1 + n
            if shown.strip() == "...":
                continue
            pattern = "^" + ".*".join(re.escape(piece) for piece in shown.rstrip().split("...")) + "$"
            found = next((k for k in range(at, len(printed)) if re.match(pattern, printed[k].rstrip())), None)
            if found is None:
                close = difflib.get_close_matches(shown, printed[at:], n=1, cutoff=0.5)
                now = close[0] if close else (printed[at] if at < len(printed) else "(nothing more)")
                self.fail(where, "a line the README shows is not printed by `%s` (exit status %s)\n"
                                 "  README: %s\n  now:    %s\n  again:  %s" %
                          (command, status, shown, now, self.again(command, self.work)))
                return
            at = found + 1

    def block_files(self, block, names):
        for name in names:
            path = self.work / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text("\n".join(block.text) + "\n")

    def prepare(self, block):
        """The files a directive asks for; the directive without those parts."""
        kept = []
        for p in self.directive_parts(block):
            if m := re.match(r"^file (.+)$", p):
                self.block_files(block, [n.strip() for n in m.group(1).split(",")])
            elif m := re.match(r"^write (\S+): (.*)$", p):
                (self.work / m.group(1)).write_text(m.group(2) + "\n")
            elif m := re.match(r"^link (\S+) to (\S+)$", p):
                link = self.work / m.group(1)
                link.parent.mkdir(parents=True, exist_ok=True)
                link.symlink_to(os.path.relpath(self.work / m.group(2), link.parent))
            else:
                kept.append(p)
        block.directive = "; ".join(kept)

    def check_blocks(self, blocks):
        # Files first: the commands of earlier blocks may read them.
        for block in blocks:
            if block.directive:
                self.prepare(block)
        for block in blocks:
            d = block.directive
            if d is None:
                if block.info in ("sh", "bash", "python"):
                    self.fail(block.line, "a sh block without a docs-check directive (see tools/docs-check.py)")
                continue
            if not d:
                continue
            if d.startswith("not checked:"):
                print("  not checked (README.md:%d): %s" % (block.line, d[len("not checked:"):].strip()))
            elif d.startswith("output of "):
                self.block_output(block, d[len("output of "):].strip())
            elif d.startswith("run"):
                self.block_run(block)
            else:
                self.fail(block.directive_line, "unknown directive: %s" % d)

    def check_figures(self, readme):
        text = readme.read_text()
        lines = text.split("\n")
        measured = set()
        for name, pattern, measure in FIGURES:
            for m in re.finditer(pattern, text, re.S):
                measured.add(m.start())
                line = text.count("\n", 0, m.start()) + 1
                if self.only:
                    continue
                problem = measure(self, m)
                if problem:
                    self.fail(line, "%s: %s" % (name, problem))
        for m in re.finditer(r"\babout\s+[0-9]", text):
            if not any(0 <= m.start() - start < 200 for start in measured):
                line = text.count("\n", 0, m.start())
                self.fail(line + 1, "an \"about\" figure the check does not measure: %s" % lines[line].strip())


def preemptions(check, m):
    """The range given must hold the preemptions per virtual hour of every soak
    the check ran, within 10 %."""
    low, high = (int(g.replace(",", "")) for g in m.groups())
    if not check.soak_summaries:
        return "no soak ran to measure it"
    outside = [(c, v) for c, v in check.soak_summaries if not (low * 0.9 <= v <= high * 1.1)]
    if outside:
        return "the README says %d to %d; measured now: %s" % (
            low, high, "; ".join("%d (%s)" % (v, c) for c, v in outside))
    return None


def cpu_per_seed(check, m):
    """The CPU time of the README's campaign of 10-hour seeds (all its
    processes), per seed, within 40 % (the machine may be busy)."""
    stated = float(m.group(1))
    for command, cpu in check.cpu.items():
        c = re.search(r"corvane soak --seeds ([0-9]+)-([0-9]+) .*--hours 10 ", command + " ")
        if c and "--shard" not in command:
            seeds = int(c.group(2)) - int(c.group(1)) + 1
            per_seed = cpu / seeds
            if not (stated / 1.4 <= per_seed <= stated * 1.4):
                return "the README says about %.1f s; measured now %.2f s (`%s`)" % (stated, per_seed, command)
            print("  measured: %.2f s of CPU per 10-hour seed (README: about %.1f)" % (per_seed, stated))
            return None
    return "no campaign of 10-hour seeds ran to measure it"


FIGURES = [
    ("preemptions per virtual hour", r"preemptions\s+per\s+virtual\s+hour\s+\(about\s+([0-9,]+)\s+to\s+([0-9,]+)", preemptions),
    ("CPU of a 10-hour seed", r"a 10-hour seed of the default scenario\s+takes\s+about\s+([0-9.]+)\s+s\s+of\s+CPU",
     cpu_per_seed),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=str(ROOT / "build" / "default" / "corvane"))
    parser.add_argument("--readme", default=str(ROOT / "README.md"))
    parser.add_argument("--only", help="only the commands whose text holds this")
    args = parser.parse_args()
    if not Path(args.program).exists():
        sys.exit("docs-check: %s is not built (make build)" % args.program)
    check = Check(args.program, args.only)
    check.setup()
    readme = Path(args.readme)
    started = time.monotonic()
    try:
        check.check_blocks(read_blocks(readme))
    finally:
        check.stop_background()
    check.check_figures(readme)
    took = time.monotonic() - started
    if check.failures:
        print("docs-check: %d difference%s between README.md and the program (%.0f s); scratch folder %s" %
              (check.failures, "" if check.failures == 1 else "s", took, check.work))
        sys.exit(1)
    print("docs-check: README.md's commands ran and its shown lines and figures hold (%.0f s)" % took)


if __name__ == "__main__":
    main()
