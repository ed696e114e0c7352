#!/usr/bin/env bash
# The tests, by suite:
#   tools/test.sh                 every suite (what CI runs)
#   tools/test.sh SUITE...        only these, for a quick loop
# Suites:
#   engine    the native engine suite, and parallel sessions under ThreadSanitizer
#   bench     the benchmarks, built (not run)
#   x64, x86  that DLL under Wine: automation suite, scripts, failure reports,
#             saved messages read by Python, messages from the wild, scripts
#             against the real servers, delivered mail, mail to international
#             addresses, the OAuth 2 example, many threads
#   servers   only the x64 harnesses that use the real servers
#   release   the release zip, unpacked and used as a Windows user would, and
#             the installer packages installed, upgraded and removed
#   fuzz      a short run of each fuzz target
#   self      the test command's own promises: skipping on a machine without
#             32-bit programs, and a harness that cannot start
# Set-up (packages, Postfix and Dovecot, wine32) happens only for the suites
# chosen. A harness that cannot start (a build that fails, a Wine prefix that
# does not start programs) is recorded as failed with its reason and the run
# goes on. Prints one line per harness at the end, always, and exits non-zero
# when anything failed. On a machine that runs no 32-bit programs (or with
# VESK_NO_32BIT=1) every x86 line says it is skipped and wine32 is not
# installed.
source "$(dirname "$0")/common.sh"

all_suites=(engine bench x64 x86 release fuzz self)
known_suites=" ${all_suites[*]} servers "
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=("${all_suites[@]}")
for suite in "${suites[@]}"; do
  [[ $known_suites == *" $suite "* ]] || { echo "unknown suite: $suite (suites:$known_suites)" >&2; exit 2; }
done
chosen() {
  local suite
  for suite in "$@"; do [[ " ${suites[*]} " == *" $suite "* ]] && return 0; done
  return 1
}

FUZZ_SECONDS=${FUZZ_SECONDS:-15}
summary=()
failed=0
summary_printed=0

record() {
  local harness=$1 passed=$2 failures=$3
  summary+=("$harness: $passed passed, $failures failed")
  [ "$failures" -eq 0 ] || failed=1
}
record_failed() { summary+=("$1: failed: $2"); failed=1; }
record_skipped() { summary+=("$1: skipped: $2"); }

# The summary is printed however the run ends; a run that stopped before its
# end says so and fails.
print_summary() {
  [ "$summary_printed" -eq 0 ] || return 0
  summary_printed=1
  echo
  printf '%s\n' "${summary[@]}"
}
cleanup=()
on_exit() {
  local status=$?
  local step
  for step in "${cleanup[@]}"; do eval "$step" >/dev/null 2>&1 || true; done
  if [ "$summary_printed" -eq 0 ]; then
    [ "$status" -eq 0 ] || summary+=("test command: failed: stopped early (exit status $status)")
    print_summary
    [ "$status" -ne 0 ] || status=$failed
  fi
  exit "$status"
}
trap on_exit EXIT

packages=("${PACKAGES[@]}")
# Python's email test messages: messages from the wild, and fuzzing seeds.
if chosen x64 x86 servers fuzz; then packages+=(libpython3.11-testsuite); fi
# The release's installer packages are built with wixl.
if chosen release; then packages+=("${INSTALLER_PACKAGES[@]}"); fi
ensure_packages "${packages[@]}"
mkdir -p "$BUILD/results"

# "passed failed" from a GoogleTest XML report.
gtest_counts() {
  local xml=$1
  if [ ! -f "$xml" ]; then echo "0 1"; return; fi
  local head tests failures errors
  head=$(grep -m1 '<testsuites' "$xml")
  tests=$(sed -E 's/.* tests="([0-9]+)".*/\1/' <<<"$head")
  failures=$(sed -E 's/.* failures="([0-9]+)".*/\1/' <<<"$head")
  errors=$(sed -E 's/.* errors="([0-9]+)".*/\1/' <<<"$head")
  echo "$((tests - failures - errors)) $((failures + errors))"
}

# Shows a harness's output on stderr as it comes and gives "passed failed"
# from its last line, "N passed, M failed" ("0 1" when it printed no count).
# (Not tee /dev/stderr: that opens stderr anew, and when stderr is a log
# file, truncates it.)
harness_counts() {
  local line last=""
  while IFS= read -r line; do
    printf '%s\n' "$line" >&2
    last=$line
  done
  if [[ $last =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
  else
    echo "0 1"
  fi
}

# Two small file systems for saves that must fail cleanly: one that fills
# up, one read-only holding old.eml. Where mounting is not allowed, those
# cases say they are skipped. (A run started by another keeps its caller's.)
mounts="$BUILD/results/mounts"
unmount_test_file_systems() { umount "$mounts/full" "$mounts/readonly" 2>/dev/null || true; }
mount_test_file_systems() {
  [ -z "${VESK_FULL_FS:-}" ] || return 0
  unmount_test_file_systems
  mkdir -p "$mounts/full" "$mounts/readonly"
  if mount -t tmpfs -o size=128k tmpfs "$mounts/full" 2>/dev/null &&
    mount -t tmpfs -o size=128k tmpfs "$mounts/readonly" 2>/dev/null &&
    printf 'old content\n' >"$mounts/readonly/old.eml" && mount -o remount,ro "$mounts/readonly" 2>/dev/null; then
    export VESK_FULL_FS="$mounts/full" VESK_READONLY_FS="$mounts/readonly"
    cleanup+=(unmount_test_file_systems)
  else
    unmount_test_file_systems
    echo "skipped: no small file systems can be mounted here, so saves on a full or read-only one are not tried"
  fi
}

# Postfix and Dovecot on loopback, for the suites that talk to them. (A run
# started by another uses its caller's servers and leaves them running.)
servers_started=0
start_mail_servers() {
  [ "$servers_started" -eq 0 ] || return 0
  servers_started=1
  [ -z "${VESK_MAILSERVERS:-}" ] || return 0
  echo "== mail servers (Postfix and Dovecot on loopback)"
  cleanup+=('"$ROOT/tools/mailservers.sh" stop')
  if "$ROOT/tools/mailservers.sh" start; then
    eval "$("$ROOT/tools/mailservers.sh" env | sed 's/^/export /')"
    export VESK_MAILSERVERS=1
  else
    record_failed "mail servers" "Postfix and Dovecot did not start; the tests that need them fail or skip"
  fi
}

# The local OAuth 2 server (after the mail servers: it signs with the key
# Dovecot checks and serves with their private CA).
start_oauth2_server() {
  [ -z "${VESK_OAUTH2_URL:-}" ] || return 0
  [ -n "${VESK_MAILSERVERS:-}" ] || return 0
  echo "== local OAuth 2 server (npm's oauth2-mock-server behind tools/servers/oauth2_server.js)"
  cleanup+=('"$ROOT/tools/oauth2_server.sh" stop')
  if "$ROOT/tools/oauth2_server.sh" start; then
    eval "$("$ROOT/tools/oauth2_server.sh" env | sed 's/^/export /')"
  else
    record_failed "OAuth 2 server" "it did not start; the OAuth 2 tests fail or skip"
  fi
}

engine_suite() {
  echo "== engine (native)"
  if ! build_preset native; then
    record_failed engine "the native build failed (log: $BUILD/native.log)"
  else
    rm -f "$BUILD/results/engine.xml"
    (cd "$BUILD/native" && GTEST_OUTPUT="xml:$BUILD/results/engine.xml" ctest --output-on-failure) || true
    read -r passed failures < <(gtest_counts "$BUILD/results/engine.xml")
    record engine "$passed" "$failures"
  fi

  # The sessions of eight threads at once, built with ThreadSanitizer: any data
  # race in what they share fails the step. (Address-space randomisation is
  # switched off for it: ThreadSanitizer needs its fixed memory layout.)
  echo "== parallel sessions under ThreadSanitizer (native)"
  if ! build_preset tsan; then
    record_failed "thread sanitizer" "the ThreadSanitizer build failed (log: $BUILD/tsan.log)"
  elif TSAN_OPTIONS="halt_on_error=1 exitcode=66" setarch "$(uname -m)" -R \
    "$BUILD/tsan/tests/engine/parallel_sessions" --gtest_brief=1 --gtest_filter="ParallelSessions.*" >"$BUILD/results/tsan.log" 2>&1; then
    record "thread sanitizer" 1 0
  else
    tail -60 "$BUILD/results/tsan.log"
    record "thread sanitizer" 0 1
  fi
}

bench_suite() {
  echo "== benchmarks (built, not run)"
  ensure_packages libgmime-3.0-dev || echo "GMime 3 could not be installed: the benchmarks build without their GMime side"
  if build_preset bench; then record "benchmark build" 1 0; else record_failed "benchmark build" "see $BUILD/bench.log"; fi
}

# The x86 DLL runs under 32-bit Wine (Debian's wine32, an i386 package).
ensure_wine32() {
  [ -x /usr/lib/wine/wine ] && return 0
  echo "Installing wine32 (log: $BUILD/wine32-install.log)"
  (dpkg --add-architecture i386 && apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine32) >"$BUILD/wine32-install.log" 2>&1 || true
  [ -x /usr/lib/wine/wine ]
}

# Every broken script must fail, each with the host's report of its error
# (two of them in an event handler, called while an object's method runs).
check_failure_reports() {
  local output passed=0 failures=0 expected
  if output=$("$ROOT/tools/run_scripts.sh" "$ROOT/tests/scripts/broken" 2>&1); then
    failures=1
    echo "the harness succeeded on scripts that stop on an error"
  fi
  for expected in "missing_class.vbs(3, 15): error 429 (0x800A01AD)|ActiveX component can't create object" \
    "runtime_error.js(3, 1): error 438 (0x800A01B6)|Object doesn't support this property or method" \
    "handler_error.vbs(5, 3): error 13 (0x800A000D)|Type mismatch" \
    "handler_error.js(4, 3): error 438 (0x800A01B6)|Object doesn't support this property or method"; do
    if grep -qF "${expected%%|*}" <<<"$output" && grep -qF "${expected#*|}" <<<"$output"; then
      passed=$((passed + 1))
    else
      failures=$((failures + 1))
      echo "not reported: ${expected/|/: }"
    fi
  done
  [ "$failures" -eq 0 ] || printf '%s\n' "$output"
  echo "$passed passed, $failures failed"
}

# The harnesses of one architecture, in order; "servers" names those that use
# the real servers.
wine_harnesses=(automation scripts "failure reports" interop "messages from the wild" "server scripts"
  "delivered mail" "international mail" "OAuth 2 example" "many threads")
server_harnesses=("server scripts" "delivered mail" "international mail" "OAuth 2 example" "many threads")

# One harness of the DLL of one architecture, registered in that
# architecture's prefix.
wine_harness() {
  local arch=$1 harness=$2 passed failures output
  case $harness in
    automation)
      echo "== automation $arch (Wine)"
      rm -f "$BUILD/results/automation-$arch.xml"
      (cd "$ARCH_BUILD/bin" && timeout 600 "$ROOT/tools/wine_run.sh" --if-silent "$WINE" automation_tests.exe \
        --gtest_brief=1 "--gtest_output=xml:$(winpath "$BUILD/results")\\automation-$arch.xml") |
        tee "$BUILD/results/automation-$arch.log" || true
      read -r passed failures < <(gtest_counts "$BUILD/results/automation-$arch.xml")
      # A test that leaves objects alive fails too (the program lists it as LEAK).
      local leaks
      leaks=$(grep -c '^\[  LEAK' "$BUILD/results/automation-$arch.log" || true)
      record "automation $arch" "$((passed - leaks))" "$((failures + leaks))"
      ;;
    scripts)
      echo "== scripts $arch"
      read -r passed failures < <("$ROOT/tools/run_scripts.sh" "$ROOT/tests/scripts" | harness_counts)
      record "scripts $arch" "$passed" "$failures"
      ;;
    "failure reports")
      echo "== failure reports $arch (scripts that stop on an error fail the harness)"
      read -r passed failures < <(check_failure_reports | harness_counts)
      record "failure reports $arch" "$passed" "$failures"
      ;;
    interop)
      echo "== saved messages read by Python's email package ($arch)"
      local interop="$BUILD/results/interop-$arch"
      rm -rf "$interop" && mkdir -p "$interop"
      if output=$(run_script "$ROOT/tests/interop/make_messages.vbs" "SCRIPT PASSED" "$(winpath "$interop")" 2>&1) &&
        output=$(run_script "$ROOT/tests/interop/make_international.js" "SCRIPT PASSED" "$(winpath "$interop")" 2>&1); then
        read -r passed failures < <(python3 "$ROOT/tests/interop/check_messages.py" "$interop" | harness_counts)
        record "interop $arch" "$passed" "$failures"
      else
        printf '%s\n' "$output"
        record_failed "interop $arch" "the scripts that write the messages failed"
      fi
      ;;
    "messages from the wild")
      echo "== messages from the wild loaded and saved again, read by Python's email package ($arch)"
      local corpus=/usr/lib/python3.11/test/test_email/data resaved="$BUILD/results/resaved-$arch"
      rm -rf "$resaved" && mkdir -p "$resaved"
      if output=$(run_script "$ROOT/tests/interop/resave_messages.vbs" "SCRIPT PASSED" "$(winpath "$corpus")" \
        "$(winpath "$resaved")" 2>&1); then
        read -r passed failures < <(python3 "$ROOT/tests/interop/check_resaved.py" "$corpus" "$resaved" | harness_counts)
        record "messages from the wild $arch" "$passed" "$failures"
      else
        printf '%s\n' "$output"
        record_failed "messages from the wild $arch" "the script that saves the messages again failed"
      fi
      ;;
    "server scripts")
      echo "== scripts against the real servers $arch"
      read -r passed failures < <("$ROOT/tools/run_scripts.sh" "$ROOT/tests/scripts/servers" | harness_counts)
      record "server scripts $arch" "$passed" "$failures"
      ;;
    "delivered mail")
      echo "== sent mail as Postfix delivered it, read by Python's strict parser ($arch)"
      read -r passed failures < <(python3 "$ROOT/tests/interop/check_maildir.py" delivered \
        "$(dirname "$(dirname "$VESK_MAILDIR")")/vesk-check/Maildir" | harness_counts)
      record "delivered mail $arch" "$passed" "$failures"
      ;;
    "international mail")
      echo "== mail to international addresses as Postfix delivered it, read by Python's strict parser ($arch)"
      read -r passed failures < <(python3 "$ROOT/tests/interop/check_maildir.py" international \
        "$(dirname "$(dirname "$VESK_MAILDIR")")/vesk-intl/Maildir" | harness_counts)
      record "international mail $arch" "$passed" "$failures"
      ;;
    "OAuth 2 example")
      # Twice: the first run signs in by device code (the test client is
      # approved at its third poll) and keeps the tokens; the second sends
      # from the token file alone.
      echo "== examples/oauth_send.vbs $arch: signed in once, then from the token file; examples/api_send_and_fetch.vbs"
      rm -f "$BUILD/results/oauth-tokens-$arch.dat"
      local example_args=("/token:${VESK_OAUTH2_URL:-}/token" "/device:${VESK_OAUTH2_URL:-}/device_authorization"
        /client:device-approve /scope:mail /host:localhost "/port:${VESK_SUBMISSION_PORT:-2587}" /user:vesk
        /to:vesk@localhost "/tokens:$(winpath "$BUILD/results")\\oauth-tokens-$arch.dat") expected
      passed=0 failures=0
      for expected in "Signed in; the tokens are kept in" "Signed in from"; do
        if output=$(run_script "$ROOT/examples/oauth_send.vbs" "Done\\." "${example_args[@]}" 2>&1) &&
          grep -qF "$expected" <<<"$output"; then
          passed=$((passed + 1))
        else
          printf '%s\n' "$output"
          failures=$((failures + 1))
        fi
      done
      # The web-API example with the same token file, against the local fake
      # of both providers' APIs.
      local provider
      for provider in graph gmail; do
        if output=$(run_script "$ROOT/examples/api_send_and_fetch.vbs" "Done\\." "/provider:$provider" \
          "/base:${VESK_OAUTH2_URL:-}" "/token:${VESK_OAUTH2_URL:-}/token" /client:device-approve /scope:mail \
          /to:vesk@localhost "/tokens:$(winpath "$BUILD/results")\\oauth-tokens-$arch.dat" 2>&1) &&
          grep -qF "Moved to the archive as" <<<"$output"; then
          passed=$((passed + 1))
        else
          printf '%s\n' "$output"
          failures=$((failures + 1))
        fi
      done
      record "OAuth 2 example $arch" "$passed" "$failures"
      ;;
    "many threads")
      # VESK_THREAD_MESSAGES=200 gives the full 8 x 200 (see the README).
      echo "== many threads at once $arch: ${VESK_THREADS:-8} threads x ${VESK_THREAD_MESSAGES:-50} messages"
      if timeout 1200 "$ROOT/tools/wine_run.sh" --if-silent "$WINE" "$ARCH_BUILD/bin/many_threads.exe" \
        "${VESK_THREADS:-8}" "${VESK_THREAD_MESSAGES:-50}" | tr -d '\r' | tee "$BUILD/results/many-threads-$arch.log" |
        tail -40 && grep -qx "MANY THREADS PASSED" "$BUILD/results/many-threads-$arch.log"; then
        record "many threads $arch" 1 0
      else
        record "many threads $arch" 0 1
      fi
      ;;
  esac
}

# The DLL of one architecture: built, registered in that architecture's
# prefix, then the harnesses named (all of them by default). When the DLL or
# the prefix cannot be had, each of those harnesses fails with the reason.
wine_suites() {
  local arch=$1 harness reason=""
  shift
  local harnesses=("$@")
  [ ${#harnesses[@]} -gt 0 ] || harnesses=("${wine_harnesses[@]}")
  if [ "$arch" = x86 ] && ! machine_runs_32bit; then
    for harness in "${harnesses[@]}"; do record_skipped "$harness $arch" "$NO_32BIT_REASON"; done
    return 0
  fi
  use_arch "$arch"
  echo "== veskmail.dll ($arch)"
  if ! build_preset "$(basename "$ARCH_BUILD")"; then
    reason="the $arch build failed (log: $BUILD/$(basename "$ARCH_BUILD").log)"
  elif [ "$arch" = x86 ] && ! ensure_wine32; then
    reason="wine32 could not be installed (log: $BUILD/wine32-install.log)"
  elif ! output=$(prepare_wine 2>&1); then
    printf '%s\n' "$output"
    reason=$(tail -1 <<<"$output")
  fi
  if [ -n "$reason" ]; then
    for harness in "${harnesses[@]}"; do record_failed "$harness $arch" "$reason"; done
    return 0
  fi
  # The prefix trusts the loopback servers' private CA, as a machine would
  # trust its own mail server's.
  if [ -n "${VESK_TLS_DIR:-}" ]; then
    wine_run "$WINE" "$ARCH_BUILD/bin/trust_test_ca.exe" "$(winpath "$VESK_TLS_DIR/ca.pem")" >/dev/null ||
      echo "the private CA could not be added to the Root store of $WINEPREFIX"
  fi
  for harness in "${harnesses[@]}"; do wine_harness "$arch" "$harness"; done
  stop_wine
}

release_suite() {
  echo "== release zip (tools/release.sh) unpacked and used per user in fresh prefixes"
  read -r passed failures < <("$ROOT/tests/release/check_release.sh" | harness_counts)
  record release "$passed" "$failures"
  echo "== installer packages: installed, upgraded, repaired and removed with msiexec in fresh prefixes"
  read -r passed failures < <("$ROOT/tests/release/check_installer.sh" | harness_counts)
  record installer "$passed" "$failures"
}

fuzz_suite() {
  echo "== fuzz (${FUZZ_SECONDS}s per target)"
  if ! build_preset fuzz; then
    record_failed fuzz "the fuzz build failed (log: $BUILD/fuzz.log)"
    return 0
  fi
  local passed=0 failures=0 target name corpus
  for target in "$BUILD"/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="$BUILD/results/corpus/$name"
    mkdir -p "$corpus"
    # The message target also starts from the outside messages the test command
    # already has (read in place, never copied into the repository).
    local seeds=()
    if [ "$name" = fuzz_message_parse ] && [ -d /usr/lib/python3.11/test/test_email/data ]; then
      seeds=(/usr/lib/python3.11/test/test_email/data)
    fi
    # More outside messages, fetched by hand for a longer run (fuzz/README.md).
    if [ "$name" = fuzz_message_parse ] && [ -n "${VESK_FUZZ_SEEDS:-}" ]; then
      local extra
      for extra in $VESK_FUZZ_SEEDS; do [ -d "$extra" ] && seeds+=("$extra"); done
    fi
    if "$target" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=0 "$corpus" "${seeds[@]}" \
      >"$BUILD/results/$name.log" 2>&1; then
      passed=$((passed + 1))
    else
      failures=$((failures + 1))
      tail -30 "$BUILD/results/$name.log"
      echo "fuzz target $name found a problem (log: $BUILD/results/$name.log)"
    fi
  done
  record fuzz "$passed" "$failures"
}

# The test command's own promises, each tried here on this machine:
# - pretending that the machine runs no 32-bit programs, the release check
#   skips its x86 lines (and fails none of them);
# - a harness whose Wine prefix cannot be created fails with its reason, and
#   the run still ends with its summary and a non-zero status.
self_checks() {
  local passed=0 failures=0 output status
  echo "== the test command's own promises"
  output=$(VESK_NO_32BIT=1 VESK_RUNS_32BIT= VESK_RELEASE_ARCHS=x86 "$ROOT/tests/release/check_release.sh" 2>&1) &&
    status=0 || status=$?
  if [ "$status" -eq 0 ] && grep -q "^skipped: x86: .*: $NO_32BIT_REASON$" <<<"$output" &&
    ! grep -q "^FAILED: x86" <<<"$output" && grep -qE '^[0-9]+ passed, 0 failed$' <<<"$output"; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    printf '%s\n' "$output" | tail -30
    echo "FAILED: the release check does not skip its x86 lines on a machine without 32-bit programs"
  fi

  local blocker="$BUILD/results/not-a-folder"
  : >"$blocker"
  output=$(VESK_WINEPREFIX_DIR="$blocker/prefixes" "$ROOT/tools/test.sh" servers 2>&1) && status=0 || status=$?
  if [ "$status" -ne 0 ] && grep -q "^server scripts x64: failed: " <<<"$output" &&
    grep -q "^delivered mail x64: failed: " <<<"$output" && grep -q "^many threads x64: failed: " <<<"$output"; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    printf '%s\n' "$output" | tail -30
    echo "FAILED: a harness whose Wine prefix cannot be created did not end in a summary and a failed run"
  fi
  rm -f "$blocker"
  echo "$passed passed, $failures failed"
}

if chosen engine x64 x86 servers; then
  start_mail_servers
  start_oauth2_server
fi
if chosen x64 x86; then mount_test_file_systems; fi
if chosen engine; then engine_suite; fi
if chosen bench; then bench_suite; fi
# wine32 is installed before any prefix is used (a prefix made before it came
# is made anew, which costs time), and only where 32-bit programs run.
if chosen x86 release && machine_runs_32bit; then
  ensure_wine32 || echo "wine32 could not be installed (log: $BUILD/wine32-install.log)"
fi
if chosen x64; then
  wine_suites x64
elif chosen servers; then
  wine_suites x64 "${server_harnesses[@]}"
fi
if chosen x86; then wine_suites x86; fi
if chosen release; then release_suite; fi
if chosen fuzz; then fuzz_suite; fi
if chosen self; then
  read -r passed failures < <(self_checks | harness_counts)
  record "test command" "$passed" "$failures"
fi

print_summary
exit "$failed"
