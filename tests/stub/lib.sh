# Shared helpers of the stub's end-to-end tests (sourced by run-stub-tests).
# Each test group gets its own X display and its own work folder; every Wine
# program of the group runs in one prefix that is shut down at the end.

PASSED=0
SKIPPED=0
FAILED=0
FAILED_NAMES=()
XVFB_PID=
DISPLAY_NUMBER=

log() { printf '%s\n' "$*" >&2; }

# Starts Xvfb on the first free display from :70 to :99.
start_display() {
  local n
  for n in $(seq 70 99); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local i
    for i in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$XVFB_PID" 2>/dev/null || break
      sleep 0.05
    done
    if kill -0 "$XVFB_PID" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
      DISPLAY_NUMBER=$n
      export DISPLAY=":$n"
      return 0
    fi
    XVFB_PID=
  done
  log "no free display for Xvfb"
  return 1
}

# Ends what this group started: the Wine prefix's server and its programs, then Xvfb.
stop_all() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
  fi
}

# The Windows path of a path of this machine (Wine maps drive Z: to /).
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# Builds an archive: the stub with the records of the script on stdin.
make_archive() { "$MAKER" "$1" --stub "$STUB"; }

wine_run() { "$SOURCE_DIR/scripts/wine-run" "$WINEPREFIX" "$@"; }

# Runs a driver script (from stdin) for one scenario; counts the result.
# The script's output goes to the scenario's folder.
drive() {
  local name=$1 script="$SCENARIO_DIR/driver.txt"
  cat >"$script"
  local attempt status
  rm -f "$script.started" "$script.ok"
  for attempt in 1 2; do
    status=0
    wine_run "$DRIVER" "$(winpath "$script")" >"$SCENARIO_DIR/driver.log" 2>&1 || status=$?
    # The driver marks the end of its script in a file too: under load its
    # console output is sometimes lost.
    [ "$status" = 0 ] && { grep -q '^ok:' "$SCENARIO_DIR/driver.log" || [ -e "$script.ok" ]; } &&
      return 0
    # A driver that never started its script (Wine itself failed to start it,
    # seen now and then under the 32-bit emulator) is no verdict on the stub,
    # so it gets one more start. One that started has had its say.
    [ -s "$SCENARIO_DIR/driver.log" ] || [ -e "$script.started" ] && break
    log "--- $name: the driver did not start (exit status $status), starting it again"
  done
  log "--- $name: driver output (exit status $status)"
  grep -v '^[0-9a-f]*:\(fixme\|err\|warn\)' "$SCENARIO_DIR/driver.log" | tail -n 30 >&2
  return 1
}

# Waits until file $1 exists, while process $2 (a driver in the background)
# still runs; gives up after a minute.
await_file() {
  local i
  for i in $(seq 1 600); do
    [ -e "$1" ] && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Makes a fresh folder for a scenario and sets SCENARIO_DIR and W (its Windows path).
new_scenario() {
  SCENARIO_DIR=$WORK/$1
  rm -rf "$SCENARIO_DIR"
  chmod -R u+w "$SCENARIO_DIR" 2>/dev/null || true
  mkdir -p "$SCENARIO_DIR"
  W=$(winpath "$SCENARIO_DIR")
}

# Runs scenario function $1 and counts it.
run_scenario() {
  local name=$1 start=$SECONDS
  new_scenario "$name"
  ( set -e; "$name" )
  local rc=$?
  if [ $rc -eq 0 ]; then
    PASSED=$((PASSED + 1))
    log "PASS $name ($((SECONDS - start)) s)"
  elif [ $rc -eq 77 ]; then
    SKIPPED=$((SKIPPED + 1))
    log "SKIP $name"
  else
    FAILED=$((FAILED + 1))
    FAILED_NAMES+=("$name")
    log "FAIL $name ($((SECONDS - start)) s)"
    # A failed scenario may leave its stub running: end the prefix's programs.
    WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  fi
}

summary() {
  log "$PASSED passed, $SKIPPED skipped, $FAILED failed${FAILED_NAMES:+: ${FAILED_NAMES[*]}}"
  [ "$FAILED" -eq 0 ]
}
