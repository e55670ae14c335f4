#!/usr/bin/env bash
# Runs a Windows program under Wine in a private, unattended prefix.
#
#   scripts/wine-run.sh --prefix DIR --init [PROGRAM.exe]
#   scripts/wine-run.sh --prefix DIR [--path DIR]... [--display DISPLAY] PROGRAM.exe [ARGS...]
#
# --prefix DIR    the Wine prefix (default: $WINEPREFIX). Made on first use
#                 (wineboot takes tens of seconds), then reused; two runs that
#                 find it missing at once make it once.
# --init          only make sure the prefix exists (and, given a program,
#                 that this machine can run it)
# --path DIR      a folder where the program finds its DLLs (repeatable)
# --display D     the X display to show windows on; without it the program
#                 runs with no display at all, whatever $DISPLAY says
#
# The loader follows the program's machine type: wine64 for 64-bit programs,
# wine (Debian's wine32) for 32-bit ones. Exits 77 (skipped) with the reason
# when that loader is missing; otherwise with the program's status.
set -uo pipefail

prefix="${WINEPREFIX:-}"
init=0
display=""
paths=()
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix="$2"; shift 2 ;;
    --init) init=1; shift ;;
    --path) paths+=("$2"); shift 2 ;;
    --display) display="$2"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --) shift; break ;;
    -*) echo "wine-run: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ -z "$prefix" ]; then
  echo "wine-run: no prefix: give --prefix DIR or set WINEPREFIX" >&2
  exit 2
fi
if [ "$init" = 0 ] && [ $# -eq 0 ]; then
  echo "wine-run: no program to run (see --help)" >&2
  exit 2
fi

find_loader() {  # wine64 | wine; Debian keeps them in /usr/lib/wine
  PATH="/usr/lib/wine:$PATH" command -v "$1"
}

loader_name=wine64
if [ $# -gt 0 ]; then
  program="$1"
  if [ ! -r "$program" ]; then
    echo "wine-run: cannot read $program" >&2
    exit 2
  fi
  # The PE header's offset is at 0x3C; its machine field follows "PE\0\0".
  pe=$(od -An -tu4 -j 60 -N4 "$program" | tr -d ' ')
  machine=$(od -An -tx2 -j $((pe + 4)) -N2 "$program" | tr -d ' ')
  case "$machine" in
    8664) loader_name=wine64 ;;
    014c) loader_name=wine ;;
    *) echo "wine-run: $program is not a Windows program for x86 (machine '$machine')" >&2; exit 2 ;;
  esac
fi
if ! loader=$(find_loader "$loader_name"); then
  if [ "$loader_name" = wine64 ]; then
    echo "skipped: wine64 not found; Debian's package wine64 provides it" \
         "(scripts/install-deps.sh installs it)"
  else
    echo "skipped: 32-bit Windows programs need Debian's wine32, from the i386" \
         "architecture (dpkg --add-architecture i386; apt-get install wine32)"
  fi
  exit 77
fi
# Debian's wine32 is an i386 program; a kernel without 32-bit support (no
# IA32 emulation, as in some virtual machines) cannot start it.
if ! "$loader" --version >/dev/null 2>&1; then
  if [ "$loader_name" = wine ]; then
    echo "skipped: $loader (Debian's wine32) cannot start: this machine's kernel runs" \
         "no 32-bit Linux programs (no IA32 emulation)"
    exit 77
  fi
  echo "wine-run: $loader does not start: $("$loader" --version 2>&1 | head -1)" >&2
  exit 1
fi
# A 64-bit prefix runs both kinds of program; it is made with wine64.
boot_loader=$(find_loader wine64) || boot_loader="$loader"

# Nothing may wait for a person: no debugger, no offer to install Mono or
# Gecko, no menu entries, no window unless a display is named.
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WAYLAND_DISPLAY
if [ -n "$display" ]; then
  export DISPLAY="$display"
else
  unset DISPLAY
fi

mkdir -p "$(dirname "$prefix")"
if [ ! -e "$prefix/.tolvarine-ready" ]; then
  (
    flock 9
    if [ ! -e "$prefix/.tolvarine-ready" ]; then
      echo "wine-run: making the Wine prefix $prefix (once; wineboot takes a while)" >&2
      start=$SECONDS
      if ! "$boot_loader" wineboot --init </dev/null >"$prefix.boot.log" 2>&1; then
        echo "wine-run: wineboot failed; its output:" >&2
        cat "$prefix.boot.log" >&2
        exit 1
      fi
      # wineboot returns before the prefix has settled; wait for its server.
      "$(dirname "$boot_loader")/wineserver" -w 2>/dev/null || true
      touch "$prefix/.tolvarine-ready"
      echo "wine-run: prefix ready after $((SECONDS - start)) s" >&2
    fi
  ) 9>"$prefix.lock" || exit 1
fi
[ "$init" = 1 ] && exit 0

# The prefix's server outlives the program that starts it, with that
# program's standard output and error: started here, it keeps its own log
# and leaves the program's output to the program. One already running
# stays; the new one sees it and leaves.
"$(dirname "$boot_loader")/wineserver" </dev/null >>"$prefix.server.log" 2>&1 || true

if [ ${#paths[@]} -gt 0 ]; then
  winepath=""
  for dir in "${paths[@]}"; do
    winepath="${winepath:+$winepath;}Z:${dir//\//\\}"
  done
  export WINEPATH="$winepath"
fi
exec "$loader" "$@"
