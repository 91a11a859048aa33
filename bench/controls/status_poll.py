#!/usr/bin/env python3
"""What a host's status polling costs a recording.

On a private desktop (scripts/desktop.sh, a still screen with a tone on the
speaker and on the microphone) the recorder records for --seconds, in turns
without any command between start and stop and while asked `status` ten
times a second. Prints the recorder's CPU per recorded second for each (the
process alone, from wait4), their ratio, and how long a status reply took.

    python3 bench/controls/status_poll.py --recorder build/app/KestranoRecorder
"""
import argparse
import os
import select
import statistics
import subprocess
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def start_desktop():
    out = subprocess.run([os.path.join(REPO, "scripts/desktop.sh"), "start", "--size", "1280x720"],
                         check=True, capture_output=True, text=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    env = dict(os.environ)
    for key in ("DISPLAY", "PULSE_SERVER", "PULSE_CLIENTCONFIG"):
        env[key] = values[key]
    return values["KESTRANO_DESKTOP"], env


def sound(desktop, *args):
    # Not captured: the players it leaves running would hold the pipes open.
    subprocess.run([os.path.join(REPO, "scripts/desktop.sh"), args[0], desktop, *args[1:]],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def ask(proc, line, timeout=30):
    proc.stdin.write((line + "\n").encode())
    proc.stdin.flush()
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    if not ready:
        raise RuntimeError(f"no reply to {line!r} within {timeout} s")
    return proc.stdout.readline().decode(errors="replace").rstrip("\n")


def record(binary, env, path, seconds, poll):
    """Returns (CPU seconds, recorded seconds, status reply times)."""
    proc = subprocess.Popen([binary], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    if ask(proc, "start " + path) != "OK":
        raise RuntimeError("start failed")
    began = time.monotonic()
    replies = []
    while time.monotonic() - began < seconds:
        if poll:
            asked = time.monotonic()
            reply = ask(proc, "status")
            replies.append(time.monotonic() - asked)
            if not reply.startswith("STATUS recording "):
                raise RuntimeError("status: " + reply)
        time.sleep(0.1)
    recorded = time.monotonic() - began
    if not ask(proc, "stop", 120).startswith("DONE "):
        raise RuntimeError("stop failed")
    proc.stdin.close()
    _, _, usage = os.wait4(proc.pid, 0)
    return usage.ru_utime + usage.ru_stime, recorded, replies


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--recorder", required=True)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    desktop, env = start_desktop()
    try:
        sound(desktop, "tone", "speaker", "440")
        sound(desktop, "tone", "micsink", "1000")
        cost = {False: [], True: []}
        replies = []
        with tempfile.TemporaryDirectory() as folder:
            # In turns, so a change in the machine's load hits both alike.
            for _ in range(args.rounds):
                for poll in (False, True):
                    cpu, recorded, times = record(args.recorder, env,
                                                  os.path.join(folder, "take.mp4"),
                                                  args.seconds, poll)
                    cost[poll].append(cpu / recorded)
                    replies += times
        quiet, polled = statistics.median(cost[False]), statistics.median(cost[True])
        replies.sort()
        print(f"load average at the end: {os.getloadavg()[0]:.1f}")
        print("| run | CPU s per recorded s (median of %d) |" % args.rounds)
        print("|---|---|")
        spread = {k: f"{min(v):.4f}-{max(v):.4f}" for k, v in cost.items()}
        print(f"| no commands | {quiet:.4f} ({spread[False]}) |")
        print(f"| status 10 times a second | {polled:.4f} ({spread[True]}) |")
        print(f"| ratio | {polled / quiet:.3f} |")
        print(f"status replies: {len(replies)}, median {replies[len(replies) // 2] * 1e3:.2f} ms, "
              f"99th percentile {replies[int(len(replies) * 0.99)] * 1e3:.2f} ms")
    finally:
        subprocess.run([os.path.join(REPO, "scripts/desktop.sh"), "stop", desktop], check=False)


if __name__ == "__main__":
    main()
