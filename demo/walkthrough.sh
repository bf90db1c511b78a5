#!/usr/bin/env bash
# walkthrough.sh QSNCLIENT URL RUNDIR: runs inside an X server (xvfb-run).
# Starts the client's scripted walk-through in RUNDIR, takes a screenshot of
# its window once the walk-through is done, and waits for the client to end.
set -u
client=$1 url=$2 run=$3
cd "$run" || exit 1
rm -f walkthrough.done shot.taken screenshot.png
"$client" "$url" -walkthrough &
pid=$!
for _ in $(seq 300); do
  [ -s walkthrough.done ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -s walkthrough.done ]; then
  read -r width height <walkthrough.done
  import -window root -crop "${width}x${height}+0+0" +repage screenshot.png
fi
touch shot.taken
wait "$pid"
