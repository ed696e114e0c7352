#!/usr/bin/env bash
# Every test: the native engine suite; for the x64 and the x86 DLL each, the
# automation suite under Wine and the script scenarios run by our script host
# (alone and against Postfix and Dovecot run privately on loopback); and a
# short run of each fuzz target; and the release zip, unpacked and used as a
# Windows user would (tests/release/). wine32 is installed for the x86 side.
# Prints one "N passed, M failed" line per harness; exits non-zero on any
# failure.
source "$(dirname "$0")/common.sh"
ensure_packages "${PACKAGES[@]}" libpython3.11-testsuite  # Python's email test messages
mkdir -p "$BUILD/results"

FUZZ_SECONDS=${FUZZ_SECONDS:-15}
summary=()
failed=0

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

record() {
  local harness=$1 passed=$2 failures=$3
  summary+=("$harness: $passed passed, $failures failed")
  [ "$failures" -eq 0 ] || failed=1
}

# Two small file systems for saves that must fail cleanly: one that fills
# up, one read-only holding old.eml. Where mounting is not allowed, those
# cases say they are skipped.
mounts="$BUILD/results/mounts"
unmount_test_file_systems() { umount "$mounts/full" "$mounts/readonly" 2>/dev/null || true; }
unmount_test_file_systems
mkdir -p "$mounts/full" "$mounts/readonly"
if mount -t tmpfs -o size=128k tmpfs "$mounts/full" 2>/dev/null &&
  mount -t tmpfs -o size=128k tmpfs "$mounts/readonly" 2>/dev/null &&
  printf 'old content\n' >"$mounts/readonly/old.eml" && mount -o remount,ro "$mounts/readonly" 2>/dev/null; then
  export VESK_FULL_FS="$mounts/full" VESK_READONLY_FS="$mounts/readonly"
else
  unmount_test_file_systems
  echo "skipped: no small file systems can be mounted here, so saves on a full or read-only one are not tried"
fi

echo "== mail servers (Postfix and Dovecot on loopback) and the local OAuth 2 server"
"$ROOT/tools/mailservers.sh" start
trap '"$ROOT/tools/oauth2_server.sh" stop >/dev/null 2>&1 || true; "$ROOT/tools/mailservers.sh" stop >/dev/null 2>&1 || true; unmount_test_file_systems' EXIT
eval "$("$ROOT/tools/mailservers.sh" env | sed 's/^/export /')"
export VESK_MAILSERVERS=1
"$ROOT/tools/oauth2_server.sh" start
eval "$("$ROOT/tools/oauth2_server.sh" env | sed 's/^/export /')"

echo "== engine (native)"
build_preset native
rm -f "$BUILD/results/engine.xml"
(cd "$BUILD/native" && GTEST_OUTPUT="xml:$BUILD/results/engine.xml" ctest --output-on-failure) || true
read -r passed failures < <(gtest_counts "$BUILD/results/engine.xml")
record engine "$passed" "$failures"

# The sessions of eight threads at once, built with ThreadSanitizer: any data
# race in what they share fails the step. (Address-space randomisation is
# switched off for it: ThreadSanitizer needs its fixed memory layout.)
echo "== parallel sessions under ThreadSanitizer (native)"
if build_preset tsan && TSAN_OPTIONS="halt_on_error=1 exitcode=66" setarch "$(uname -m)" -R \
  "$BUILD/tsan/tests/engine/parallel_sessions" --gtest_brief=1 --gtest_filter="ParallelSessions.*" >"$BUILD/results/tsan.log" 2>&1; then
  record "thread sanitizer" 1 0
else
  tail -60 "$BUILD/results/tsan.log"
  record "thread sanitizer" 0 1
fi

echo "== benchmarks (built, not run)"
ensure_packages libgmime-3.0-dev || echo "GMime 3 could not be installed: the benchmarks build without their GMime side"
if build_preset bench; then record "benchmark build" 1 0; else record "benchmark build" 0 1; fi

# Shows a harness's output on stderr as it comes and gives "passed failed"
# from its last line, "N passed, M failed". (Not tee /dev/stderr: that opens
# stderr anew, and when stderr is a log file, truncates it.)
harness_counts() {
  local line last=""
  while IFS= read -r line; do
    printf '%s\n' "$line" >&2
    last=$line
  done
  sed -E 's/^([0-9]+) passed, ([0-9]+) failed$/\1 \2/' <<<"$last"
}

# The x86 DLL runs under 32-bit Wine (Debian's wine32, an i386 package).
ensure_wine32() {
  [ -x /usr/lib/wine/wine ] && return 0
  echo "Installing wine32 (log: $BUILD/wine32-install.log)"
  (dpkg --add-architecture i386 && apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine32) >"$BUILD/wine32-install.log" 2>&1 || true
  [ -x /usr/lib/wine/wine ]
}

# Both broken scripts must fail, each with the host's report of its error.
check_failure_reports() {
  local output passed=0 failures=0 expected
  if output=$("$ROOT/tools/run_scripts.sh" "$ROOT/tests/scripts/broken" 2>&1); then
    failures=1
    echo "the harness succeeded on scripts that stop on an error"
  fi
  for expected in "missing_class.vbs(3, 15): error 429 (0x800A01AD)|ActiveX component can't create object" \
    "runtime_error.js(3, 1): error 438 (0x800A01B6)|Object doesn't support this property or method"; do
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

# The DLL of one architecture, registered in that architecture's prefix: the
# automation suite, the script scenarios (alone and against the servers), the
# failure reports of broken scripts, and saved messages read by Python.
wine_suites() {
  local arch=$1 passed failures leaks
  use_arch "$arch"
  echo "== automation $arch (Wine)"
  prepare_wine
  # The prefix trusts the loopback servers' private CA, as a machine would
  # trust its own mail server's.
  "$WINE" "$ARCH_BUILD/bin/trust_test_ca.exe" "$(winpath "$VESK_TLS_DIR/ca.pem")" >/dev/null ||
    echo "the private CA could not be added to the Root store of $WINEPREFIX"
  rm -f "$BUILD/results/automation-$arch.xml"
  (cd "$ARCH_BUILD/bin" && timeout 600 "$WINE" automation_tests.exe --gtest_brief=1 \
    "--gtest_output=xml:$(winpath "$BUILD/results")\\automation-$arch.xml") | tee "$BUILD/results/automation-$arch.log" || true
  read -r passed failures < <(gtest_counts "$BUILD/results/automation-$arch.xml")
  # A test that leaves objects alive fails too (the program lists it as LEAK).
  leaks=$(grep -c '^\[  LEAK' "$BUILD/results/automation-$arch.log" || true)
  record "automation $arch" "$((passed - leaks))" "$((failures + leaks))"

  echo "== scripts $arch"
  read -r passed failures < <("$ROOT/tools/run_scripts.sh" "$ROOT/tests/scripts" | harness_counts)
  record "scripts $arch" "${passed:-0}" "${failures:-1}"

  echo "== failure reports $arch (scripts that stop on an error fail the harness)"
  read -r passed failures < <(check_failure_reports | harness_counts)
  record "failure reports $arch" "${passed:-0}" "${failures:-1}"

  echo "== saved messages read by Python's email package ($arch)"
  local interop="$BUILD/results/interop-$arch"
  rm -rf "$interop" && mkdir -p "$interop"
  local output
  if output=$(run_script "$ROOT/tests/interop/make_messages.vbs" "SCRIPT PASSED" "$(winpath "$interop")" 2>&1) &&
    output=$(run_script "$ROOT/tests/interop/make_international.js" "SCRIPT PASSED" "$(winpath "$interop")" 2>&1); then
    read -r passed failures < <(python3 "$ROOT/tests/interop/check_messages.py" "$interop" | harness_counts)
  else
    printf '%s\n' "$output"
    passed=0 failures=1
  fi
  record "interop $arch" "${passed:-0}" "${failures:-1}"

  echo "== messages from the wild loaded and saved again, read by Python's email package ($arch)"
  local corpus=/usr/lib/python3.11/test/test_email/data resaved="$BUILD/results/resaved-$arch"
  rm -rf "$resaved" && mkdir -p "$resaved"
  if output=$(run_script "$ROOT/tests/interop/resave_messages.vbs" "SCRIPT PASSED" "$(winpath "$corpus")" \
    "$(winpath "$resaved")" 2>&1); then
    read -r passed failures < <(python3 "$ROOT/tests/interop/check_resaved.py" "$corpus" "$resaved" | harness_counts)
  else
    printf '%s\n' "$output"
    passed=0 failures=1
  fi
  record "messages from the wild $arch" "${passed:-0}" "${failures:-1}"

  echo "== scripts against the real servers $arch"
  read -r passed failures < <("$ROOT/tools/run_scripts.sh" "$ROOT/tests/scripts/servers" | harness_counts)
  record "server scripts $arch" "${passed:-0}" "${failures:-1}"

  echo "== sent mail as Postfix delivered it, read by Python's strict parser ($arch)"
  read -r passed failures < <(python3 "$ROOT/tests/interop/check_delivered.py" \
    "$(dirname "$(dirname "$VESK_MAILDIR")")/vesk-check/Maildir" | harness_counts)
  record "delivered mail $arch" "${passed:-0}" "${failures:-1}"

  # The OAuth 2 example twice: the first run signs in by device code (the
  # test client is approved at its third poll) and keeps the tokens; the
  # second sends from the token file alone.
  echo "== examples/oauth_send.vbs $arch: signed in once, then from the token file"
  local tokens="$BUILD/results/oauth-tokens-$arch.dat" example_args
  rm -f "$tokens"
  example_args=("/token:$VESK_OAUTH2_URL/token" "/device:$VESK_OAUTH2_URL/device_authorization" /client:device-approve
    /scope:mail /host:localhost "/port:$VESK_SUBMISSION_PORT" /user:vesk /to:vesk@localhost
    "/tokens:$(winpath "$BUILD/results")\\oauth-tokens-$arch.dat")
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
  record "OAuth 2 example $arch" "$passed" "$failures"

  # VESK_THREAD_MESSAGES=200 gives the full 8 x 200 (see the README).
  echo "== many threads at once $arch: ${VESK_THREADS:-8} threads x ${VESK_THREAD_MESSAGES:-50} messages"
  if timeout 1200 "$WINE" "$ARCH_BUILD/bin/many_threads.exe" "${VESK_THREADS:-8}" "${VESK_THREAD_MESSAGES:-50}" |
    tr -d '\r' | tee "$BUILD/results/many-threads-$arch.log" | tail -40 && grep -qx "MANY THREADS PASSED" "$BUILD/results/many-threads-$arch.log"; then
    record "many threads $arch" 1 0
  else
    record "many threads $arch" 0 1
  fi
  stop_wine
}

echo "== veskmail.dll (x64 and x86)"
build_preset win64
build_preset win32
# Installed before any prefix is used: a prefix made before wine32 came is
# made anew, which costs time.
ensure_wine32 && have_wine32=1 || have_wine32=0
wine_suites x64
if [ "$have_wine32" -eq 1 ]; then
  wine_suites x86
else
  echo "wine32 could not be installed (log: $BUILD/wine32-install.log): the x86 suites are skipped"
  for harness in automation scripts "failure reports" interop "messages from the wild" "server scripts" "delivered mail" \
    "OAuth 2 example" "many threads"; do
    summary+=("$harness x86: skipped: wine32 not installable")
  done
fi

echo "== release zip (tools/release.sh) unpacked and used per user in fresh prefixes"
read -r passed failures < <("$ROOT/tests/release/check_release.sh" | harness_counts)
record release "${passed:-0}" "${failures:-1}"

echo "== fuzz (${FUZZ_SECONDS}s per target)"
build_preset fuzz
passed=0
failures=0
for target in "$BUILD"/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$BUILD/results/corpus/$name"
  mkdir -p "$corpus"
  if "$target" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=0 "$corpus" \
    >"$BUILD/results/$name.log" 2>&1; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    tail -30 "$BUILD/results/$name.log"
    echo "fuzz target $name found a problem (log: $BUILD/results/$name.log)"
  fi
done
record fuzz "$passed" "$failures"

echo
printf '%s\n' "${summary[@]}"
exit "$failed"
