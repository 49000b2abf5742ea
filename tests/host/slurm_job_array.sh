#!/usr/bin/env bash
# A library rendered by a Slurm job array, on a single-node cluster of the test's
# own: munged, slurmctld and slurmd on loopback, configured and kept in a
# temporary folder, stopped at the end whatever happens. It submits the recipe
# (packaging/slurm/plumbra-array.sbatch) as a 4-task array over 12 files, cancels
# one task while it runs and submits that index again; the union of the outputs
# must equal plumbra render -o's byte for byte, and merge-reports must count 12.
#
# Usage: slurm_job_array.sh PLUMBRA SBATCH_SCRIPT
# SECONDS_PER_FILE (default 40) sets the files' length: 600 gives a two-hour
# library, for timing the array against one plumbra render -o -j 2 (with
# CANCEL_ONE=0 no task is cancelled).
set -euo pipefail
plumbra=$(realpath "$1")
recipe=$(realpath "$2")
length=${SECONDS_PER_FILE:-40}
for tool in munged slurmctld slurmd sbatch squeue scancel scontrol ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool missing: scripts/setup.sh installs slurm-wlm, munge and ffmpeg" >&2; exit 1; }
done

dir=$(mktemp -d /tmp/plumbra-slurm-XXXXXX)
pids=()
stop() {
  local code=$?
  # Jobs still in the cluster first (its own: SLURM_CONF names it), then the daemons,
  # only those this test started, by their process IDs, the last started first.
  if [ -n "${SLURM_CONF:-}" ] && [ -n "$(squeue -h 2>/dev/null)" ]; then
    scancel --partition=test 2>/dev/null || true
    for _ in $(seq 50); do [ -z "$(squeue -h 2>/dev/null)" ] && break; sleep 0.1; done
  fi
  # The daemons this test started, by their process IDs, the last started first.
  local reversed=()
  for pid in "${pids[@]}"; do reversed=("$pid" "${reversed[@]}"); done
  for pid in "${reversed[@]}"; do
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  if [ $code -ne 0 ]; then
    for log in "$dir"/*.log; do echo "== $log"; tail -n 20 "$log"; done >&2
  fi
  rm -rf "$dir"
  exit $code
}
trap stop EXIT
trap 'exit 1' INT TERM

# Free loopback ports for slurmctld and slurmd.
read -r ctld_port slurmd_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

# munge, with its own key and socket.
mkdir -m 0700 "$dir/munge"
dd if=/dev/urandom of="$dir/munge/key" bs=1024 count=1 status=none
chmod 0400 "$dir/munge/key"
munged --foreground --force --key-file="$dir/munge/key" --socket="$dir/munge/socket" \
  --pid-file="$dir/munge/pid" --log-file="$dir/munged.log" --seed-file="$dir/munge/seed" >/dev/null 2>&1 &
pids+=($!)

node=plumbra-test-node
cpus=$(nproc)
mkdir -p "$dir/state" "$dir/spool"
cat > "$dir/slurm.conf" <<EOF
ClusterName=plumbratest
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=$(id -un)
SlurmdUser=$(id -un)
AuthType=auth/munge
AuthInfo=socket=$dir/munge/socket
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
NodeName=$node NodeHostname=$(hostname -s) NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$dir/slurm.conf"
for _ in $(seq 50); do [ -S "$dir/munge/socket" ] && break; sleep 0.1; done
slurmctld -D -i -f "$SLURM_CONF" >/dev/null 2>&1 &
pids+=($!)
slurmd -D -N "$node" -f "$SLURM_CONF" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 150); do
  sinfo -h -N -o '%T' 2>/dev/null | grep -qE '^(idle|mixed|allocated)' && break
  sleep 0.2
done
sinfo -h -N -o '%T' | grep -qE '^idle' || { echo "the node did not come up" >&2; exit 1; }

# Twelve files of generated programme, in two folders, and their manifest.
lib="$dir/lib"
mkdir -p "$lib/a" "$lib/b"
: > "$lib/manifest.txt"
for i in $(seq 0 11); do
  f=$([ $((i % 2)) -eq 0 ] && echo a || echo b)/track$i.wav
  ffmpeg -loglevel error -f lavfi -i "anoisesrc=d=$length:c=pink:seed=$((i + 1)):a=0.$((i % 5 + 1))" \
    -f lavfi -i "sine=f=$((220 + 40 * i)):d=$length" -filter_complex amix=inputs=2 -ac 1 -ar 44100 "$lib/$f"
  echo "$f" >> "$lib/manifest.txt"
done

# Waits for a job's tasks to leave the queue.
wait_job() {
  for _ in $(seq 36000); do
    [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  echo "job $1 did not finish" >&2
  return 1
}

start=$(date +%s.%N)
job=$(sbatch --parsable --chdir="$dir" --output="$dir/task-%A_%a.log" --array=0-3 \
  --export="ALL,MANIFEST=$lib/manifest.txt,OUT=$dir/out,REPORTS=$dir/reports,PLUMBRA=$plumbra" "$recipe")
if [ "${CANCEL_ONE:-1}" = 1 ]; then
  # Task 1 is cancelled once it has finished its first file (entries 1, 5, 9).
  for _ in $(seq 36000); do
    [ -e "$dir/reports/b/track1.wav.json" ] && break
    sleep 0.05
  done
  scancel "${job}_1"
  wait_job "$job"
  cancelled=$(scontrol show job "${job}_1" | grep -o 'JobState=[A-Z]*')
  echo "task 1: $cancelled"
  [ "$cancelled" = "JobState=CANCELLED" ] || { echo "task 1 was not cancelled while it ran" >&2; exit 1; }
  [ ! -e "$dir/reports/b/track9.wav.json" ] || { echo "task 1 finished before it was cancelled" >&2; exit 1; }

  # The same index again, on its own.
  again=$(sbatch --parsable --chdir="$dir" --output="$dir/task-%A_%a.log" --array=1 \
    --export="ALL,MANIFEST=$lib/manifest.txt,OUT=$dir/out,REPORTS=$dir/reports,PLUMBRA=$plumbra,SHARDS=4" "$recipe")
  wait_job "$again"
  end=$(date +%s.%N)
  grep -q "JobState=COMPLETED" <(scontrol show job "${again}_1") || { echo "the task run again failed" >&2; exit 1; }
else
  wait_job "$job"
  end=$(date +%s.%N)
fi

# One machine, two jobs, the same files.
one_start=$(date +%s.%N)
"$plumbra" render "$lib" -o "$dir/one" -j 2 --quiet
one_end=$(date +%s.%N)
count=0
for f in $(cat "$lib/manifest.txt"); do
  cmp "$dir/out/$f" "$dir/one/$f"
  count=$((count + 1))
done
[ "$count" -eq 12 ] || { echo "expected 12 outputs, compared $count" >&2; exit 1; }
[ "$(find "$dir/out" -type f | wc -l)" -eq 12 ] || { echo "the array left files besides the 12 outputs" >&2; exit 1; }

summary=$("$plumbra" merge-reports "$dir/reports" --manifest "$lib/manifest.txt")
echo "$summary" | tail -n 2
echo "$summary" | grep -q "^12 files: 12 rendered, 0 skipped, 0 failed" || { echo "merge-reports does not count 12" >&2; exit 1; }
hosts=$("$plumbra" merge-reports "$dir/reports" --json | python3 -c 'import json,sys; print(json.load(sys.stdin)["summary"]["hosts"])')
[ "$hosts" -eq 1 ] || exit 1

awk -v a="$start" -v b="$end" -v c="$one_start" -v d="$one_end" -v n="$length" -v k="${CANCEL_ONE:-1}" 'BEGIN {
  printf "array (4 tasks%s): %.1f s; render -o -j 2: %.1f s; 12 files of %d s\n",
    k == 1 ? ", one cancelled and run again" : "", b - a, d - c, n }'
