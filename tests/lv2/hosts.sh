#!/usr/bin/env bash
# The LV2 bundle in real hosts, headless. One host per call:
#   hosts.sh HOST LV2_DIR PLUMBRA LV2_WAV URI WORK_DIR
# HOST: validate, lv2apply, ffmpeg, jalv, liquidsoap, gstreamer. LV2_DIR holds the
# bundle; PLUMBRA is the VST 2 command-line host, whose renders are the reference.
# Exit 0 pass, 1 fail, 77 skip (the host's package is not installed).
set -euo pipefail
host=$1 lv2dir=$2 plumbra=$3 wav=$4 uri=$5 work=$6
export LV2_PATH=$lv2dir
rm -rf "$work" && mkdir -p "$work" && cd "$work"
escaped="${uri/:/\\\\:}"  # http\\://...: the colon escaped through both levels of ffmpeg's filter syntax

need() { command -v "$1" >/dev/null || { echo "SKIP: $1 not found (apt-get install $2)"; exit 77; }; }
fail() { echo "FAIL: $*"; exit 1; }

# Non-default controls, the same through both front ends: VST 2 names and LV2 symbols.
vst_sets=(--set "Lowpass Filter=12000" --set "Master Noisegate Gain=30" --set "Noisegate Gain Scale dB Per Band=1.5"
          --set "Disable WRMI EQ=on" --set "Bandwidth Expansion Level=-20" --set "DNR Sensitivity=100")
lv2_sets=(lowpass_filter=12000 master_noisegate_gain=30 noisegate_gain_scale_db_per_band=1.5
          disable_wrmi_eq=1 bandwidth_expansion_level=-20 dnr_sensitivity=100)

# The demo programme (3 s, mono) at RATE: mono.wav and stereo.wav (both channels
# the same), and ref.wav, its render through the VST 2 build with the controls above.
programme() {
  "$plumbra" demo demo.wav --demo-length 3 --format float
  "$wav" mono demo.wav mono.wav "$1"
  "$wav" stereo demo.wav stereo.wav "$1"
  "$plumbra" render mono.wav ref.wav --raw-latency --format float --quiet "${vst_sets[@]}"
}

case "$host" in
validate)
  need lv2_validate lv2-dev
  need sord_validate sordi
  out=$(lv2_validate "$lv2dir"/*.lv2/*.ttl 2>&1) || true
  echo "$out"
  grep -q "Found 0 errors" <<<"$out" || fail "lv2_validate reports errors" ;;

lv2apply)
  need lv2apply lilv-utils
  for rate in 44100 48000; do
    programme $rate
    controls=()
    for c in "${lv2_sets[@]}"; do controls+=(-c "${c%%=*}" "${c#*=}"); done
    lv2apply -i stereo.wav -o lv2.wav "${controls[@]}" "$uri"
    "$wav" same ref.wav lv2.wav || fail "lv2apply at $rate Hz differs from the VST 2 render"
  done ;;

ffmpeg)
  need ffmpeg ffmpeg
  programme 48000
  controls=$(IFS='|'; echo "${lv2_sets[*]}")
  mix='pan=stereo|c0=0.5*c0+0.5*c1|c1=0.5*c0+0.5*c1'  # a stereo programme mixed to the first input
  # A file, delay removed and tail flushed: as plumbra renders by default.
  "$plumbra" render stereo.wav aligned.wav --format float --quiet "${vst_sets[@]}"
  ffmpeg -nostdin -hide_banner -loglevel error -i stereo.wav \
    -af "$mix,apad=pad_len=3552,lv2=p=$escaped:c=$controls,atrim=start_sample=3552" -c:a pcm_f32le file.wav
  "$wav" same aligned.wav file.wav || fail "ffmpeg (file) differs from the VST 2 render"
  # A stream through pipes.
  ffmpeg -nostdin -hide_banner -loglevel error -f wav -i - -af "$mix,lv2=p=$escaped:c=$controls" \
    -c:a pcm_f32le -f wav - <stereo.wav >stream.wav
  "$wav" same ref.wav stream.wav || fail "ffmpeg (stream) differs from the VST 2 render"
  # A mono programme copied to both inputs (ffmpeg's own upmix would lower it by 3 dB).
  ffmpeg -nostdin -hide_banner -loglevel error -i mono.wav \
    -af "pan=stereo|c0=c0|c1=c0,lv2=p=$escaped:c=$controls" -c:a pcm_f32le mono-out.wav
  "$wav" same ref.wav mono-out.wav || fail "ffmpeg (mono) differs from the VST 2 render" ;;

gstreamer)
  need gst-launch-1.0 gstreamer1.0-tools
  export GST_REGISTRY=$work/registry.bin  # a fresh scan finds the bundle as built now
  element=$(sed -e 's|^[a-z]*://||' -e 's|[^A-Za-z0-9]|-|g' <<<"$uri")
  gst-inspect-1.0 "$element" >/dev/null 2>&1 || { echo "SKIP: no GStreamer element $element (apt-get install gstreamer1.0-plugins-bad)"; exit 77; }
  programme 48000
  gst-launch-1.0 -q filesrc location=mono.wav ! wavparse ! audioconvert ! audio/x-raw,channels=2 \
    ! "$element" lowpass-filter=12000 master-noisegate-gain=30 noisegate-gain-scale-db-per-band=1.5 \
      disable-wrmi-eq=true bandwidth-expansion-level=-20 dnr-sensitivity=100 \
    ! wavenc ! filesink location=gst.wav
  "$wav" same ref.wav gst.wav || fail "GStreamer differs from the VST 2 render" ;;

liquidsoap)
  need liquidsoap liquidsoap
  programme 44100
  controls=$(IFS='|'; echo "${lv2_sets[*]}")
  echo stereo.wav >list.m3u
  cat >chain.liq <<LIQ
settings.init.allow_root.set(true)
def plumbra(s) =
  def graph(g) =
    a = ffmpeg.filter.audio.input(g, ffmpeg.raw.encode.audio(%ffmpeg(%audio.raw), s))
    a = ffmpeg.filter.lv2(g, plugin="$escaped", controls="$controls", [a], [])
    ffmpeg.filter.audio.output(g, a)
  end
  ffmpeg.filter.create(graph)
end
s = plumbra(once(playlist(mode="normal", "list.m3u")))
clock.assign_new(sync="none", [s])
output.file(%ffmpeg(format="wav", %audio.raw(codec="pcm_f32le")), "liq.wav", fallible=true, on_stop=shutdown, s)
LIQ
  timeout 120 liquidsoap chain.liq >liquidsoap.log 2>&1 || { tail -20 liquidsoap.log; fail "liquidsoap failed"; }
  # Liquidsoap stops at the end of its last whole frame: the output may end early.
  "$wav" same ref.wav liq.wav --prefix || fail "Liquidsoap differs from the VST 2 render" ;;

jalv)
  need jalv jalv
  need jackd jackd2
  need jack_simple_client jackd2
  export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1
  jackd_pid= jalv_pid= tone_pid=
  trap 'kill $tone_pid $jalv_pid $jackd_pid 2>/dev/null; wait 2>/dev/null || true' EXIT
  mkfifo commands
  exec 3<>commands  # jalv reads commands from standard input and quits at its end: keep it open
  # A dummy JACK server (without real-time scheduling, with a long client
  # timeout) and jalv running the plug-in, its ports connected. On a loaded
  # machine JACK has been seen to drop a client that starts or connects
  # slowly ("Cannot create new client"); the setup is then tried afresh, up
  # to three times, before the test fails.
  start_chain() {
    export JACK_DEFAULT_SERVER=plumbra-lv2-test-$$-$1
    jackd -n "$JACK_DEFAULT_SERVER" --no-realtime --timeout 10000 -d dummy -r 48000 -p 256 >jackd.log 2>&1 &
    jackd_pid=$!
    jack_wait -w -t 10 >/dev/null || return 1
    stdbuf -oL jalv -p -n plumbra -x -c lowpass_filter=12000 "$uri" <&3 >jalv.log 2>&1 &
    jalv_pid=$!
    # jack_lsp succeeds whether or not a port matches: look for the port itself.
    for _ in $(seq 300); do
      jack_lsp 2>/dev/null | grep -qx 'plumbra:out_left' && break
      kill -0 $jalv_pid 2>/dev/null || return 1
      sleep 0.1
    done
    jack_connect system:capture_1 plumbra:in_left && jack_connect plumbra:out_left system:playback_1 &&
      jack_connect plumbra:out_right system:playback_2
  }
  for attempt in 1 2 3; do
    start_chain $attempt && break
    echo "attempt $attempt failed: $(cat jalv.log 2>/dev/null) $(cat jackd.log)"
    kill $jalv_pid $jackd_pid 2>/dev/null; wait 2>/dev/null || true
    jalv_pid= jackd_pid=
    [ $attempt -lt 3 ] || fail "jalv and JACK could not be set up three times"
  done
  # The meters as jalv prints them: its "monitors" command lists every output
  # control port ("symbol = value"), here after 3 s of the dummy capture's
  # silence, then after 3 s of JACK's example sine (amplitude 0.2, 240 Hz:
  # band 3) on the input.
  sleep 3
  echo monitors >&3
  jack_simple_client tone >tone.log 2>&1 &
  tone_pid=$!
  for _ in $(seq 100); do jack_lsp 2>/dev/null | grep -qx 'tone:output1' && break; sleep 0.1; done
  jack_connect tone:output1 plumbra:in_left || fail "the sine could not be connected: $(cat tone.log)"
  sleep 3
  echo monitors >&3
  sleep 1
  kill $tone_pid; wait $tone_pid 2>/dev/null || true; tone_pid=
  latency=$(jack_lsp -l plumbra:out_left)
  echo "$latency"
  kill -0 $jalv_pid || fail "jalv stopped by itself: $(cat jalv.log)"
  kill -INT $jalv_pid
  status=0; wait $jalv_pid || status=$?
  [ $status -eq 0 ] || fail "jalv exited with $status on SIGINT: $(cat jalv.log)"
  # Downstream of the plug-in's output JACK counts its period buffers plus the reported latency.
  awk '/playback latency/ { if ($(NF-2) >= 3552) ok = 1 } END { exit !ok }' <<<"$latency" \
    || fail "JACK does not see the plug-in's 3552 samples of latency"
  # Listing N of the meters (each listing starts at the latency port) as "symbol value" lines.
  listing() { sed 's/^> //' jalv.log | awk -v n="$1" '$1 == "latency" && $2 == "=" { k++ } k == n && $2 == "=" { print $1, $3 }'; }
  listing 1 >silence.txt
  listing 2 >tone.txt
  grep -E '^(band_3_|input_|output_peak|limiter)' tone.txt | sed 's/^/jalv (sine): /'
  [ "$(grep -c '^band_[0-9]*_gate ' silence.txt)" -eq 12 ] || fail "jalv lists no gate meters: $(cat jalv.log)"
  awk '/^band_[0-9]+_gate / && $2 >= 0.70710678 { print "open in silence:", $0; bad = 1 } END { exit bad }' silence.txt \
    || fail "silence leaves gates open"
  grep -qx 'input_peak -120.000000' silence.txt || fail "input peak of silence: $(grep input_peak silence.txt)"
  awk '$1 == "input_peak" { exit !($2 > -14.1 && $2 < -13.9) }' tone.txt || fail "input peak of the sine: $(grep input_peak tone.txt)"
  awk '/^band_[0-9]+_level / { split($1, w, "_"); if ($2 > best) { best = $2; band = w[2] } } END { exit band != 3 }' best=-1000 tone.txt \
    || fail "the sine does not raise band 3's level above the others: $(grep level tone.txt)"
  awk '$1 == "band_3_gate" { exit !($2 > 0.70710678) }' tone.txt || fail "the sine leaves band 3's gate closed" ;;

*) echo "hosts.sh: unknown host $host" >&2; exit 2 ;;
esac
echo "PASS: $host"
