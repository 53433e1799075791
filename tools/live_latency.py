#!/usr/bin/env python3
"""Measures how long a sound takes from entering the default PulseAudio sink to the first frame
of `nimbrelle live` that shows it, and prints the frame rate `--stats` reports.

Starts a private PulseAudio daemon with a null sink (stopped again at the end, by its process
id), runs `nimbrelle live` on its monitor with NIMBRELLE_LIVE_TRACE set, and feeds the sink
through pacat with a short click every second after a quiet start. The latency of a click is
the time from writing it to pacat to the first traced frame whose loudest waveform level
passes half scale.

  tools/live_latency.py build/default/host/nimbrelle [--size 1920x1080] [-o out.mp4] [--window]

Without -o and --window it records to a temporary file without a window. With --window it
runs in a window (needs a display, e.g. under xvfb-run).
"""
import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

RATE = 48000
CHUNK = RATE // 100  # 10 ms


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("-o", "--output")
    parser.add_argument("--window", action="store_true")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="nimbrelle-latency-")
    env = dict(os.environ, XDG_RUNTIME_DIR=work, HOME=work)
    daemon = subprocess.Popen(
        ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
         "--load=module-native-protocol-unix", "--load=module-null-sink sink_name=v"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        run(args, env, work)
    finally:
        os.kill(daemon.pid, signal.SIGTERM)
        daemon.wait()
        shutil.rmtree(work, ignore_errors=True)


def run(args, env, work):
    trace = os.path.join(work, "trace.txt")
    live_env = dict(env, NIMBRELLE_LIVE_TRACE=trace)
    command = [args.host, "live", "--size", args.size, "--stats", "--duration", str(args.seconds)]
    if not args.window:
        command += ["-o", args.output or os.path.join(work, "out.mp4")]
        live_env.update(DISPLAY="", WAYLAND_DISPLAY="")
    elif args.output:
        command += ["-o", args.output]
    live = subprocess.Popen(command, env=live_env, stderr=subprocess.PIPE, text=True)

    player = subprocess.Popen(
        ["pacat", "--playback", "--raw", "--format=float32le", "--rate=%d" % RATE, "--channels=1",
         "--latency-msec=10"], env=env, stdin=subprocess.PIPE)
    silence = struct.pack("<%df" % CHUNK, *([0.0] * CHUNK))
    click = struct.pack("<%df" % CHUNK, *([0.9 if (i // 24) % 2 == 0 else -0.9 for i in range(CHUNK)]))
    clicks = []
    start = time.monotonic()
    written = 0
    while time.monotonic() - start < args.seconds - 0.5:
        # Pace the writes by the wall clock; pacat keeps only its small buffer ahead.
        due = start + written * CHUNK / RATE
        if due > time.monotonic():
            time.sleep(due - time.monotonic())
        elapsed = written * CHUNK / RATE
        if elapsed >= 4.0 and int(elapsed * 100) % 100 == 0:  # one click a second after 4 s
            clicks.append(time.time())
            player.stdin.write(click)
        else:
            player.stdin.write(silence)
        player.stdin.flush()
        written += 1
    player.stdin.close()
    player.wait()
    _, err = live.communicate()
    sys.stderr.write(err)

    frames = []
    with open(trace) as f:
        for line in f:
            us, frame, loudest = line.split()
            frames.append((int(us) / 1e6, int(frame), int(loudest)))
    latencies = []
    for t in clicks:
        shown = next((ft for ft, _, level in frames if ft >= t and level > 128), None)
        if shown is not None:
            latencies.append((shown - t) * 1000.0)
    print("clicks: %d, latency ms: %s" % (len(clicks), " ".join("%.0f" % v for v in latencies)))
    if latencies:
        print("median latency: %.0f ms" % sorted(latencies)[len(latencies) // 2])


if __name__ == "__main__":
    main()
