# Shared by scripts/fuzz and scripts/fuzz-campaign (sourced; $root is the
# source tree): the sanitizer build of the libFuzzer targets, and their list.

FUZZ_FLAGS="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined -fsanitize=fuzzer-no-link"

# Configures FOLDER with clang and builds every libFuzzer target and the
# replayer there.
#   fuzz_build FOLDER EXTRA_FLAGS [CMAKE_ARGUMENT...]
fuzz_build() {
  local dir="$1" extra="$2"
  shift 2
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug "$@" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="$FUZZ_FLAGS $extra" -DCMAKE_CXX_FLAGS="$FUZZ_FLAGS $extra" \
    -DCMAKE_EXE_LINKER_FLAGS="$extra" -DQV_FUZZERS=ON >/dev/null
  cmake --build "$dir" -j2 --target fuzzers fuzz_replay >/dev/null
}

# The names of the targets, one a line, as the build of FOLDER lists them.
fuzz_targets() { cat "$1/fuzz/targets.txt"; }

# Sets the array `dictionary` to the libFuzzer option naming the target's
# dictionary, or to nothing when it has none. The targets that take whole
# archives share fuzz/archive.dict.
fuzz_dictionary() {
  local file=$1
  case "$1" in payload | library | extract) file=archive ;; esac
  dictionary=()
  if [ -f "$root/fuzz/$file.dict" ]; then dictionary=(-dict="$root/fuzz/$file.dict"); fi
}
