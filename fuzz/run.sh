#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each one for a while
# on its corpus in build/fuzz/corpus/<target>, seeded here from the commands,
# requests, groups, logs and band files the tests use.
#
#   fuzz/run.sh [SECONDS] [TARGET...]     default: 60 s for every target
#
# Environment: CORVANE_RDS_LOGS, a folder of recorded logs (.spy/.rds) to seed
# the group and log targets from (default ../shared/rds next to the checkout,
# when it exists). Exits non-zero when a target fails, after printing the
# command that replays the failing input.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(CommandFuzz IoctlFuzz DecoderFuzz RdsLogFuzz BandFileFuzz)
logs=${CORVANE_RDS_LOGS:-$root/../shared/rds}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=$root/build/fuzz
mkdir -p "$out/corpus" "$out/crashes"

# Seeds, written by a small Python program so the binary formats are exact.
python3 - "$out/corpus" "$root" "$logs" <<'PY'
import glob, os, re, struct, sys
corpus, root, logs = sys.argv[1], sys.argv[2], sys.argv[3]

def put(target, name, data):
    d = os.path.join(corpus, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)

def unescape(s):
    return s.encode().decode("unicode_escape").encode("latin-1")

# Commands: every "$PLTCM..." and other port text quoted in the tests.
commands = set()
for path in glob.glob(os.path.join(root, "tests", "**", "*.cpp"), recursive=True):
    text = open(path, encoding="utf-8", errors="replace").read()
    for m in re.finditer(r'"((?:\$|\\n\$)[A-Za-z]{2}[^"\\]*(?:\\.[^"\\]*)*)"', text):
        commands.add(m.group(1))
    for m in re.finditer(r'\bcommand\("([^"]*)"\)', text):
        s = m.group(1)
        commands.add(s if s.startswith("$") else "$PLTCM," + s + "\\r\\n")
for i, c in enumerate(sorted(commands)):
    data = unescape(c)
    if not data.endswith(b"\n"):
        data += b"\r\n"
    put("CommandFuzz", "%03d" % i, bytes([0x1F]) + data)           # one write, 10 ms apart
    put("CommandFuzz", "%03d-split" % i, bytes([0x23]) + data)     # 4-byte writes, 20 ms apart

# Requests: every code with the buffer sizes its handler wants.
def request(code, flags=0, inb=b"", out=b""):
    return bytes([31]) + struct.pack(">I", code) + bytes([flags, len(inb), len(out)]) + inb + out
dword = lambda v: struct.pack("<I", v)
reqs = {
    "caps": request(0x321000, out=bytes(48)),
    "get": request(0x321004, out=bytes(4)),
    "set-d3": request(0x321008, 0x60, out=dword(3)) + request(0x321008, 0x60, out=dword(0)),
    "set-d9": request(0x321008, out=dword(9)),
    "set-badactual": request(0x321008, 0x04, out=dword(1)),
    "get-badout": request(0x321004, 0x02, out=dword(0)),
    "query": request(0x32100C, out=dword(2)),
    "command": request(0x88B82F08, 0xA0, inb=b"$PLTCM,H2,10120"),
    "command-short": request(0x88B82F08, inb=b"$PLTCM"),
    "recover": request(0x88B83F08, 0x80),
    "suspend-resume": request(0x88B84F08, 0x60, inb=b"\x02") + request(0x88B84F08, 0x60, inb=b"\x01"),
    "reverse": request(0x1000, inb=bytes(range(7)), out=bytes(8)),
    "reverse-alias": request(0x1000, 0x08, inb=bytes(range(6))),
    "properties": request(0x1B0038, out=bytes(64)),
    "timeouts": request(0x1B003C, inb=bytes(20)) + request(0x1B0040, out=bytes(20)),
    "dcb": request(0x1B0050, out=bytes(28)) + request(0x1B0054, inb=bytes(28)),
    "serial-misc": b"".join(request(0x1B0000 + 4 * k, 0x07) for k in range(1, 24)),
    "unknown": request(0x12345678, inb=bytes(4), out=bytes(4)),
}
for name, data in reqs.items():
    put("IoctlFuzz", name, data)

# Groups and logs: recorded logs cut into short pieces, and a few written here.
def parse_log(path):
    groups = []
    for line in open(path, encoding="latin-1"):
        f = line.split()
        if len(f) >= 4 and all(re.fullmatch(r"[0-9A-Fa-f]{4}|----", x) for x in f[:4]):
            blocks = [0 if x == "----" else int(x, 16) for x in f[:4]]
            status = sum(3 << (2 * (3 - i)) for i, x in enumerate(f[:4]) if x == "----")
            groups.append((blocks, status))
    return groups

def group_bytes(groups, flags=0xFFFF):
    return struct.pack("<H", flags) + b"".join(struct.pack("<5H", *b, s) for b, s in groups)

made = [([0xD3A1, 0x0408, 0xE0CD, 0x5241], 0), ([0xD3A1, 0x3418, 0x0041, 0xCD46], 0),
        ([0xD3A1, 0x8400, 0x0000, 0x1234], 0x30), ([0xD3A1, 0x4401, 0xD5A1, 0x0C20], 0),
        ([0xD3A1, 0x2410, 0x5241, 0x4449], 0)]
put("DecoderFuzz", "made", group_bytes(made))
put("RdsLogFuzz", "made.spy", b"<recorder=\"x\">\nD3A1 0408 E0CD 5241 @2026/12/07 08:00:00.00\n"
                              b"D3A1 8400 ---- 1234 @2026/12/07 08:00:00.09\n\n")
put("RdsLogFuzz", "made.rds", b"% RDS hexgroups\nD3A1 0408 E0CD 5241 @2026/12/07 08:00:00.000\n")
if os.path.isdir(logs):
    for path in sorted(glob.glob(os.path.join(logs, "*.spy")) + glob.glob(os.path.join(logs, "*.rds"))):
        base = os.path.basename(path)
        groups = parse_log(path)
        for k in range(0, min(len(groups), 2000), 200):
            put("DecoderFuzz", "%s-%d" % (base, k), group_bytes(groups[k:k + 200]))
        head = b"".join(open(path, "rb").readlines()[:25])
        put("RdsLogFuzz", base, head)

# Band files: the documented example and variations on each kind of station.
bands = {
    "example": '{"stations": [{"frequency": 9470, "rssi": 42, "snr": 25, "rds": {"pi": "0xD3A1", '
               '"name": "RADIO 1", "tmc": true, "blockErrorRate": 0.01}, "events": [{"at": 1, "tmc": false}, '
               '{"at": 2, "rssi": 0}]}, {"frequency": 10120, "rssi": 38, "snr": 20, "rds": {"log": "a.spy"}}, '
               '{"frequency": 8830, "rssi": 30, "snr": 15}]}',
    "full": '{"noiseRssi": 5, "clockStart": "2027-01-31T23:59:00Z", "stations": [{"frequency": 9470, '
            '"stereo": false, "rds": {"pi": 54177, "name": "A", "pty": 10, "tp": true, "radiotext": "Hello", '
            '"af": [8760, 10790], "ltn": 0, "ecc": 225, "tmcMessages": [{"event": 1, "location": 2, '
            '"direction": 1, "extent": 7, "diversion": true, "duration": 3}], "tmcCycle": 10, '
            '"localOffset": -3.5}}]}',
    "empty": '{"stations": []}',
    "bad": '{"stations": [{"frequency": 9472, "rssi": 76}]}',
}
for name, text in bands.items():
    put("BandFileFuzz", name + ".json", text.encode())
PY

declare -A maxlen=([CommandFuzz]=1024 [IoctlFuzz]=2048 [DecoderFuzz]=4096 [RdsLogFuzz]=4096 [BandFileFuzz]=4096)
# Undefined behaviour ends the run like a crash, with its input saved.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
summary=()
for t in "${targets[@]}"; do
  bin=$out/$t
  crashes=$out/crashes/$t
  mkdir -p "$crashes" "$out/corpus/$t"
  echo "== $t: ${seconds} s"
  set +e
  "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len="${maxlen[$t]:-4096}" \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$out/corpus/$t" >"$out/$t.log" 2>&1
  rc=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$out/$t.log" | grep -o '[0-9]*$' || true)
  speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$out/$t.log" | grep -o '[0-9]*$' || true)
  cov=$(grep -o 'cov: [0-9]*' "$out/$t.log" | tail -n 1 || true)
  summary+=("$t: ${runs:-?} runs, ${speed:-?} exec/s, ${cov:-cov: ?}")
  if [ $rc -ne 0 ]; then
    status=1
    tail -n 60 "$out/$t.log"
    crash=$(grep -o "Test unit written to [^ ]*" "$out/$t.log" | tail -n 1 | sed 's/Test unit written to //')
    echo "!! $t failed (exit $rc). Reproduce with:"
    echo "   UBSAN_OPTIONS=halt_on_error=1 $bin ${crash:-<the input in $crashes>}"
  fi
done
printf '%s\n' "${summary[@]}"
exit $status
