#!/usr/bin/env bash
# Compiles (-c, no link) the Win32 platform layer, every library file that
# does not need Boost, and the component's Windows-only helpers for 32-bit
# Windows. Usage: cross_compile.sh SOURCE_DIR OUTPUT_DIR
# Exit 77 (skipped) when the cross compiler is missing.
set -uo pipefail
src="$1"
out="$2"

cxx=i686-w64-mingw32-g++
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "SKIP: $cxx not found; the Debian package g++-mingw-w64-i686 provides it" \
       "(scripts/install-deps.sh installs it)"
  exit 77
fi
# Debian's default flavour of GCC 12 for mingw-w64 uses Win32 threads and has
# no std::mutex or std::thread, which the console queue needs; the POSIX
# flavour of the same package has them.
threads_cxx="$cxx"
if command -v "$cxx-posix" >/dev/null 2>&1; then
  threads_cxx="$cxx-posix"
fi

# These reach Boost.Thread through connector.h or thread_context.h.
needs_boost=(connector.cpp controller.cpp auto_controller.cpp)

mkdir -p "$out"
common=(-c -Wall -Wextra -Werror -I"$src/controller/include" -I"$src/controller/src")
failed=0
count=0
compile() {  # compiler, standard, source, extra flags
  local object="$out/$(basename "${3%.cpp}").obj"
  if "$1" "-std=$2" "${common[@]}" "${@:4}" "$3" -o "$object"; then
    count=$((count + 1))
  else
    echo "FAILED: $1 -std=$2 $3"
    failed=1
  fi
}

for file in "$src"/controller/src/*.cpp "$src"/controller/src/platform/*.cpp \
            "$src"/controller/src/platform/win/*.cpp; do
  name="$(basename "$file")"
  skip=0
  for b in "${needs_boost[@]}"; do
    [ "$name" = "$b" ] && skip=1
  done
  [ "$skip" = 1 ] && continue
  compile "$cxx" c++17 "$file" -DTOLVARINE_CONTROLLER_BUILDING
done
# The component is C++14.
compile "$cxx" c++14 "$src/component/time_stamp.cpp"
compile "$threads_cxx" c++14 "$src/component/console_queue.cpp"

echo "$count files compiled for 32-bit Windows with $cxx ($threads_cxx for the console queue)"
exit "$failed"
