#!/usr/bin/env bash
# Sets up, builds and starts the receiver with the given options (default: none).
# Without a reachable sound server (a fresh server machine) it first starts a private PulseAudio
# with a null sink called "CABLE Input (VB-Audio Virtual Cable)", so the receiver has its usual
# virtual-cable endpoint to render into. On a desktop whose PulseAudio or PipeWire has no such
# sink it adds the virtual cable for this session (brindle-cable install --session).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
# The unit tests and benchmarks need gmock and Google Benchmark (scripts/test.sh installs them); a
# plain run builds without.
tests=ON
for p in libgmock-dev libbenchmark-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || tests=OFF
done
bash scripts/build.sh -DBRINDLE_BUILD_TESTS=$tests >/dev/null

if ! pactl info >/dev/null 2>&1; then
  runtime=${BRINDLE_PULSE_DIR:-/tmp/brindle-pulse-$(id -u)}
  mkdir -p "$runtime"
  export XDG_RUNTIME_DIR=$runtime PULSE_RUNTIME_PATH=$runtime PULSE_SERVER=unix:$runtime/native
  if ! pactl info >/dev/null 2>&1; then
    echo "no sound server found: starting a private PulseAudio in $runtime" >&2
    HOME=$runtime pulseaudio -n --daemonize=yes --exit-idle-time=-1 --system=no \
      --load="module-native-protocol-unix auth-anonymous=1 socket=$runtime/native" \
      --log-target=file:"$runtime/pulse.log" 2>/dev/null || true
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    # module-null-sink cannot parse a description with spaces and parentheses; pacmd can set it.
    pactl load-module module-null-sink sink_name=cable rate=48000 >/dev/null
    pacmd update-sink-proplist cable device.description="'CABLE Input (VB-Audio Virtual Cable)'"
    pactl set-default-sink cable
    echo "send a test tone from another shell:  build/brindle-send --duration 10" >&2
    echo "record what the receiver plays:        PULSE_SERVER=$PULSE_SERVER parec -d cable.monitor --file-format=wav out.wav" >&2
  fi
fi

# The receiver's default device is the virtual cable; a chosen device is the user's business.
wants_cable=1
for arg in "$@"; do
  case $arg in
    -d | --device | --device=* | -h | --help) wants_cable=0 ;;
  esac
done
if [ $wants_cable = 1 ] \
  && ! build/brindle-receiver --check-device "CABLE Input (VB-Audio Virtual Cable)" >/dev/null 2>&1; then
  sh tools/brindle-cable/brindle-cable install --session >&2
fi
exec build/brindle-receiver "$@"
