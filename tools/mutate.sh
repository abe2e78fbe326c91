#!/usr/bin/env bash
# Mutation testing: applies each mutant of tools/mutants.txt alone (one text
# of one file replaced), rebuilds, runs the ctest entries that cover that
# file, and puts the file back. Which entries cover a file comes from the
# build (tools/mutate-map.py): every entry whose programs compile, link or
# include it, and the programs an entry starts count as its own.
#
# The first entry's programs are built alone before it runs: a mutant that
# it kills never waits for the other programs to link. Once it passed, the
# other entries' programs are built together.
#
# A mutant is killed only when a test reports a failure, or a program crashes
# or stops (a hang ends at the time limit) after its tests started; it
# survives when every entry passes. A mutant that does not build, or whose
# entries failed without a test having run, is neither: it is listed apart.
#
# The mutants build in folders of their own (build/mutate-win and
# build/mutate-native), so build/win and build/native are never left holding
# a mutated program. Usage: tools/mutate.sh [list] (default tools/mutants.txt)
set -u
cd "$(dirname "$0")/.."
list=${1:-tools/mutants.txt}
win=build/mutate-win
native=build/mutate-native
jobs=${JOBS:-2}
# A mutant that makes a program hang is killed; it need not wait long for it.
export TAVDESK_WINE_TIMEOUT=${TAVDESK_WINE_TIMEOUT:-120}
log=build/mutate.log

# Makefile builds, whose compilers leave dependency files that
# tools/mutate-map.py reads, with a query for CMake's file API.
configure() {
  local dir
  for dir in "$win" "$native"; do
    mkdir -p "$dir/.cmake/api/v1/query" && touch "$dir/.cmake/api/v1/query/codemodel-v2" || return 1
  done
  # Without debug information and linked by lld: each mutant relinks its
  # test programs, and with GNU ld and -g that link was most of its time.
  cmake -S . -B "$win" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    "-DCMAKE_EXE_LINKER_FLAGS=-static -static-libgcc -static-libstdc++ -fuse-ld=lld" >>"$log" 2>&1 &&
    cmake -S . -B "$native" -G "Unix Makefiles" -DCMAKE_C_COMPILER=clang-14 \
      -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
      -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld >>"$log" 2>&1
}

# Every ctest entry of both folders, as "win:NAME" or "native:NAME": the
# folder, the command that runs it, the targets it needs built ("-" for none)
# and the files it covers.
declare -A folder command needs covers
entries=()
read_maps() {
  local dir name run targets files
  for dir in "$win" "$native"; do
    python3 tools/mutate-map.py "$dir" >"$dir/mutate-map.txt" 2>>"$log" || return 1
    while IFS=$'\t' read -r name run targets files; do
      name="${dir##*-}:$name"
      entries+=("$name")
      folder[$name]=$dir
      command[$name]=$run
      needs[$name]=$targets
      covers[$name]=" $files "
    done <"$dir/mutate-map.txt"
  done
}

entries_for() {
  local entry
  for entry in "${entries[@]}"; do
    if [[ ${covers[$entry]} == *" $1 "* ]]; then echo "$entry"; fi
  done
}

# Runs one entry and prints its verdict: "passed"; "killed: WHY" when a test
# reported a failure (GoogleTest's, unittest's, the import check's), or a
# program crashed (Wine's or a sanitizer's report) or stopped after its tests
# started; "did not run: WHY" when it failed without any of that.
scratch=$(mktemp -d)
run_entry() {
  local out=$scratch/output rc why
  bash -c "${command[$1]}" </dev/null >"$out" 2>&1
  rc=$?
  { echo "-- $1 (exit $rc)"; cat "$out"; } >>"$log"
  if [ $rc -eq 0 ]; then
    echo passed
  elif why=$(grep -m1 -E '^\[  FAILED  \] |^(FAIL|ERROR): test|which is not a Known DLL' "$out"); then
    echo "killed: $why"
  elif why=$(grep -m1 -E 'Unhandled |ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$out"); then
    echo "killed: crashed: $why"
  elif grep -q '^\[==========\] Running' "$out"; then
    echo "killed: stopped after its tests started (exit $rc): $(tail -n1 "$out")"
  else
    echo "did not run: exit $rc: $(tail -n1 "$out" | grep . || echo no output)"
  fi
}

# Builds the programs of the given entries that were not built yet for this
# mutant ($built holds them as " folder:target ").
build_for() {
  local dir entry target targets
  for dir in "$win" "$native"; do
    targets=" "
    for entry in "$@"; do
      [ "${folder[$entry]}" = "$dir" ] || continue
      for target in ${needs[$entry]}; do
        [[ $target == - || $built == *" $dir:$target "* || $targets == *" $target "* ]] ||
          targets+="$target "
      done
    done
    [ "$targets" = " " ] && continue
    cmake --build "$dir" -j "$jobs" --target $targets </dev/null >>"$log" 2>&1 || return 1
    for target in $targets; do built+="$dir:$target "; done
  done
  return 0
}

backup=$scratch/backup
current=""
restore() {
  # A new modification time, so that every build folder rebuilds the file.
  if [ -n "$current" ]; then cat "$backup" >"$current" && touch "$current"; fi
  current=""
}
trap 'restore; rm -rf "$scratch"; exit 130' INT TERM
trap 'restore; rm -rf "$scratch"' EXIT

mkdir -p build
: >"$log"
echo "mutate: building $win and $native"
configure && cmake --build "$win" -j "$jobs" >>"$log" 2>&1 && cmake --build "$native" -j "$jobs" >>"$log" 2>&1 ||
  { echo "mutate: configuring or building the unmutated programs failed (see $log)"; exit 1; }
read_maps || { echo "mutate: reading which tests cover which files failed (see $log)"; exit 1; }

# Every entry must pass unmutated, or no verdict would mean anything. Their
# times put the quickest first for each mutant: the first kill ends its run.
needed=$(grep -v '^\s*\(#\|$\)' "$list" | sed 's/ @@.*//' | sort -u |
         while read -r f; do entries_for "$f"; done | sort -u)
echo "mutate: running the unmutated entries:" $needed
declare -A seconds
for entry in $needed; do
  start=$SECONDS
  verdict=$(run_entry "$entry")
  [ "$verdict" = passed ] || { echo "mutate: unmutated, $entry $verdict (see $log)"; exit 1; }
  seconds[$entry]=$((SECONDS - start))
done

# How many mutants of a file each entry killed so far ("file entry" -> count).
# The mutants of a file come together in the list, and the entry that killed
# the last ones most likely kills the next: it runs first, before the others'
# programs are built.
declare -A kills
killed=0
survived=0
apart=()  # the mutants that are neither killed nor survived
number=0
while IFS= read -r line; do
  [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
  number=$((number + 1))
  if [[ ! $line =~ ^([^\ ]+)\ @@\ (.+)\ @@(\ (.*))?$ ]]; then
    apart+=("INVALID       $number: not 'file @@ text @@ replacement': $line")
    echo "${apart[-1]}"
    continue
  fi
  file=${BASH_REMATCH[1]}
  old=${BASH_REMATCH[2]}
  new=${BASH_REMATCH[4]}
  label="$number $file: '$old' -> '$new'"
  mine=$(for entry in $(entries_for "$file"); do
           echo "${kills[$file $entry]:-0} ${seconds[$entry]} $entry"
         done | sort -k1,1nr -k2,2n | cut -d' ' -f3)
  if [ -z "$mine" ]; then
    apart+=("INVALID       $label (no test covers this file)")
    echo "${apart[-1]}"
    continue
  fi
  cp "$file" "$backup"
  current=$file
  # \n in the texts stands for a line break; the old text must occur once.
  if ! OLD=$old NEW=$new perl -0777 -i -pe '
        BEGIN { ($o, $n) = map { s/\\n/\n/g; $_ } ($ENV{OLD}, $ENV{NEW}); }
        $c = () = /\Q$o\E/g; die "found $c times\n" if $c != 1; s/\Q$o\E/$n/;' "$file" 2>>"$log"; then
    restore
    apart+=("INVALID       $label (the text does not occur exactly once)")
    echo "${apart[-1]}"
    continue
  fi
  echo "== mutant $label" >>"$log"
  outcome="SURVIVED      $label"
  built=" "
  first=1
  for entry in $mine; do
    # The first entry's programs alone; once a mutant survived it, the rest's
    # together, so that their links share the cores.
    if [ $first -eq 1 ]; then build_for "$entry"; else build_for $mine; fi ||
      { outcome="DID NOT BUILD $label"; break; }
    first=0
    verdict=$(run_entry "$entry")
    case $verdict in
      killed*)
        outcome="killed        $label (${entry#*:} ${verdict#killed: })"
        kills[$file $entry]=$((${kills[$file $entry]:-0} + 1))
        break ;;
      "did not run"*) outcome="DID NOT RUN   $label (${entry#*:} ${verdict#did not run: })" ;;
    esac
  done
  restore
  echo "${outcome:0:300}"
  case $outcome in
    killed*) killed=$((killed + 1)) ;;
    SURVIVED*) survived=$((survived + 1)) ;;
    *) apart+=("${outcome:0:300}") ;;
  esac
done <"$list"

echo
echo "killed $killed of $((killed + survived))"
if [ ${#apart[@]} -gt 0 ]; then
  echo "not counted: ${#apart[@]} mutants that did not build, did not run or are invalid:"
  printf '  %s\n' "${apart[@]}"
  exit 1
fi
