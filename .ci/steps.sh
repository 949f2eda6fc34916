# Sourced by the CI scripts: each step says how long it took, and steps
# that wait mostly on downloads and dpkg run side by side.

# timed COMMAND...: runs COMMAND and prints its time.
timed() {
  local started=$SECONDS
  "$@"
  echo "ci: $* took $((SECONDS - started)) s" >&2
}

# side_by_side LOG COMMAND [LOG COMMAND]...: runs the COMMANDs (split at
# spaces) side by side, each writing into build/ci-logs/LOG, which ends
# with its time. All are waited for, so none outlives a failure of
# another; then each log's last line is printed, or, when any failed, the
# end of every log, and the step fails.
side_by_side() {
  local pids=() logs=() failed=0 pid log
  mkdir -p build/ci-logs
  while [ $# -gt 0 ]; do
    log=build/ci-logs/$1
    (
      started=$SECONDS
      status=0
      $2 > "$log" 2>&1 || status=$?
      echo "ci: $2 took $((SECONDS - started)) s" >> "$log"
      exit $status
    ) &
    pids+=($!)
    logs+=("$log")
    shift 2
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
  done
  for log in "${logs[@]}"; do
    if [ $failed -eq 1 ]; then echo "== $log"; tail -n 40 "$log"; else tail -n 1 "$log"; fi
  done >&2
  return $failed
}
