#!/usr/bin/env bash
# Plants one plausible fault at a time into a copy of the source tree,
# rebuilds, runs the test suite, and reports which faults the suite did not
# catch. Too slow for CI (a rebuild and a test run per fault); run it before
# and after changing the tests, and keep its table.
#
#   scripts/mutation-check.sh                      every fault in scripts/mutations.txt
#   scripts/mutation-check.sh -l other.txt         another list (repeatable)
#   scripts/mutation-check.sh -o 'frame|ramp'      only the faults whose name matches
#   scripts/mutation-check.sh -w DIR -j N          work folder (default build/mutation), jobs
#   scripts/mutation-check.sh -D TOLVARINE_WINDOWS_BUILD=OFF
#                                                  a cache entry for the build (repeatable)
#
# A list holds blocks like this one; "find" must occur exactly once in the
# file, so a list that no longer fits the code says so instead of testing
# nothing. In "find" and "replace", \n stands for a line break:
#
#   ## frame-start-byte: the command frame starts with the wrong byte
#   file: controller/src/frame.cpp
#   find: frame[0] = kStartOfFrame;
#   replace: frame[0] = 0x03;
#   tests: ^link_
#
# "tests" is optional: a CTest regular expression of the tests expected to
# catch the fault. They run first; only when none of them fails does the
# whole suite run, so a wrong guess costs time, never a verdict.
#
# Exit status: 0 when every fault was caught, 1 when one survived or did not
# apply, 2 on a usage error or a suite that fails without any fault.
set -euo pipefail
cd "$(dirname "$0")/.."

lists=()
only=""
work="build/mutation"
jobs="$(nproc)"
cache=()
while [ $# -gt 0 ]; do
  case "$1" in
    -l|--list) lists+=("$2"); shift 2 ;;
    -o|--only) only="$2"; shift 2 ;;
    -w|--work) work="$2"; shift 2 ;;
    -j|--jobs) jobs="$2"; shift 2 ;;
    -D) cache+=("-D$2"); shift 2 ;;
    -h|--help) sed -n '2,32p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "mutation-check: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ ${#lists[@]} -gt 0 ] || lists=("scripts/mutations.txt")
for i in "${!lists[@]}"; do
  [ -r "${lists[$i]}" ] || { echo "mutation-check: cannot read ${lists[$i]}" >&2; exit 2; }
  lists[$i]=$(realpath "${lists[$i]}")
done

src="$work/src"
build="$work/build"
log="$work/log"
mkdir -p "$work" "$log"
echo "mutation-check: copying the tree to $src" >&2
rm -rf "$src"
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$src"

# One helper does the list handling: `count`, `name N`, `apply N`, `restore N`.
mutate() {
  python3 - "$src" "$@" "${lists[@]}" <<'PY'
import re, sys
src, action, index, *lists = sys.argv[1:]
entries = []
for path in lists:
    entry = None
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith("## "):
            entry = {"name": line[3:].strip(), "origin": path}
            entries.append(entry)
        elif entry is not None and re.match(r"^(file|find|replace|tests):( |$)", line):
            key, _, value = line.partition(":")
            entry[key] = value[1:].replace("\\n", "\n")
if action == "count":
    print(len(entries)); sys.exit(0)
e = entries[int(index)]
if action == "name":
    print(e["name"]); sys.exit(0)
if action == "tests":
    print(e.get("tests", "")); sys.exit(0)
for key in ("file", "find", "replace"):
    if key not in e:
        print(f"{e['name']}: no '{key}' line in {e['origin']}", file=sys.stderr); sys.exit(3)
path = f"{src}/{e['file']}"
text = open(path, encoding="utf-8").read()
if action == "apply":
    n = text.count(e["find"])
    if n != 1:
        print(f"{e['name']}: 'find' occurs {n} times in {e['file']}", file=sys.stderr); sys.exit(3)
    open(path + ".unmutated", "w", encoding="utf-8").write(text)
    open(path, "w", encoding="utf-8").write(text.replace(e["find"], e["replace"]))
elif action == "restore":
    import os
    os.replace(path + ".unmutated", path)
    # The original's time stamp is older than the objects built from the
    # fault: without a fresh one, make would keep the fault in the binaries.
    os.utime(path)
PY
}

echo "mutation-check: configuring and building $build" >&2
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${cache[@]+"${cache[@]}"} >"$log/configure.txt" 2>&1 ||
  { cat "$log/configure.txt" >&2; exit 2; }
cmake --build "$build" --parallel "$jobs" >"$log/build.txt" 2>&1 ||
  { tail -40 "$log/build.txt" >&2; echo "mutation-check: the unmutated tree does not build" >&2; exit 2; }
echo "mutation-check: running the suite once without any fault" >&2
if ! ctest --test-dir "$build" --parallel "$jobs" --timeout 300 >"$log/baseline.txt" 2>&1; then
  grep -E "Failed|\*\*\*" "$log/baseline.txt" >&2 || true
  echo "mutation-check: the suite fails without any fault (log: $log/baseline.txt)" >&2
  exit 2
fi

count=$(mutate count 0)
killed=0; survived=0; broken=0
results=()
for ((i = 0; i < count; i++)); do
  name=$(mutate name "$i")
  [ -z "$only" ] || [[ "$name" =~ $only ]] || continue
  id=${name%%:*}
  tests=$(mutate tests "$i")
  start=$SECONDS
  if ! mutate apply "$i" 2>"$log/$id.apply.txt"; then
    results+=("NOT APPLIED  $name ($(cat "$log/$id.apply.txt"))"); broken=$((broken + 1)); continue
  fi
  echo "mutation-check: [$((i + 1))/$count] $name" >&2
  if ! cmake --build "$build" --parallel "$jobs" >"$log/$id.build.txt" 2>&1; then
    outcome="NO BUILD    "; broken=$((broken + 1)); detail="see $log/$id.build.txt"
  elif { [ -z "$tests" ] ||
         ctest --test-dir "$build" --parallel "$jobs" --timeout 300 --stop-on-failure -R "$tests" \
           >"$log/$id.test.txt" 2>&1; } &&
       ctest --test-dir "$build" --parallel "$jobs" --timeout 300 --stop-on-failure \
         >"$log/$id.test.txt" 2>&1; then
    outcome="SURVIVED    "; survived=$((survived + 1)); detail="no test failed"
  else
    outcome="killed      "; killed=$((killed + 1))
    detail=$(grep -m1 -E '\*\*\*(Failed|Exception|Timeout)|\(Failed\)|\(Timeout\)' "$log/$id.test.txt" |
      sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: //; s/ \.+.*//; s/^\s*[0-9]+ - //' || true)
  fi
  mutate restore "$i"
  results+=("$outcome $name  [$((SECONDS - start)) s; $detail]")
done

echo
printf '%s\n' "${results[@]}"
echo
echo "killed $killed, survived $survived, not applied or not building $broken"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
