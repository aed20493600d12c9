# Shared by bench/run, bench/fast-links and bench/slow-disk; sourced after CAP, SND, FILES
# and BIN are set.

# make_work NAME: WORK, the directory the capture files go to, under FILES
# (or in /tmp, to be mounted as tmpfs by make_files_dir).
make_work() {
  if [ "$FILES" = tmpfs ]; then
    WORK=$(mktemp -d "/tmp/$1-XXXXXX")
  else
    WORK=$(mktemp -d "$(cd "$FILES" && pwd)/$1-XXXXXX")
  fi
}

# make_files_dir SIZE: WORK made again, as a tmpfs of SIZE if FILES asks.
make_files_dir() {
  mkdir -p "$WORK"
  if [ "$FILES" = tmpfs ]; then mount -t tmpfs -o size="$1" quorvane-bench "$WORK"; fi
}

# The namespaces CAP and SND, with every process in them.
remove_namespaces() {
  for ns in $CAP $SND; do ip netns pids $ns 2>/dev/null | xargs -r kill 2>/dev/null || true; done
  ip netns del $CAP 2>/dev/null || true
  ip netns del $SND 2>/dev/null || true
}

cleanup() {
  remove_namespaces
  [ "$FILES" = tmpfs ] && { umount "$WORK" 2>/dev/null || true; }
  rm -rf "$WORK"
}

# recorder_dir DIR: an empty DIR for the next recorder's files.  The files
# of the run before go unwritten and nothing else waits for the disk, so
# neither recorder pays for writing back the other's files.
recorder_dir() {
  rm -rf "$WORK/q" "$WORK/t" && sync && mkdir -p "$1"
}

# quorvane_file DIR DEVICE: the file of DEVICE's slot in the run in DIR.
quorvane_file() {
  local slot
  slot=$(grep '^Open adapter: ' "$1/err" | grep -n " $2\.\$" | cut -d: -f1)
  echo "$1/brovel$((slot - 1)).cap"
}

# start_tcpdumps DIR: one tcpdump -w per device of DEVICES, on core 0, each
# into DIR/DEVICE.cap with its times in DIR/time.DEVICE; adds their pids to
# the caller's pids and returns once every device is open (its file made).
start_tcpdumps() {
  local dev
  for dev in $DEVICES; do
    (cd "$1" && exec /usr/bin/time -f "%U %S %M" -o "time.$dev" taskset -c 0 \
      ip netns exec $CAP tcpdump -Z root -q -s 65536 -i "$dev" -w "$dev.cap" 2>/dev/null) &
    pids+=($!)
  done
  for dev in $DEVICES; do
    while [ ! -e "$1/$dev.cap" ]; do sleep 0.05; done
  done
}

loss() { echo "$1 $2" | awk '{ if ($1 > 0) printf "%.1f", 100 * ($1 - $2) / $1; else print "-" }'; }
ratio() { echo "$1 $2" | awk '{ if ($2 > 0 && $1 != "-" && $2 != "-") printf "%.2f", $1 / $2; else print "-" }'; }
# median WORDS... / worst WORDS...: of numbers, "-" left out.
median() {
  printf '%s\n' "$@" | grep -v '^-$' | sort -g |
    awk '{v[NR] = $1} END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2];
      else printf "%.10g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
worst() { printf '%s\n' "$@" | grep -v '^-$' | sort -g | tail -1 | grep . || echo -; }
