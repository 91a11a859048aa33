#!/usr/bin/env python3
"""KestranoRecorder against the ffmpeg command-line recorder, side by side.

On a private desktop (scripts/desktop.sh) each scene of e2e_scene plays while
first KestranoRecorder, then ffmpeg (x11grab + two pulse inputs) record it
for the same time. Per recorder it reports CPU seconds per recorded second
(the recorder process alone, from wait4), peak resident memory (ru_maxrss,
the kernel's VmHWM at exit), pictures lost, the time from the stop request to
the reply (or to ffmpeg's exit after 'q'), file size, and SSIM of every
decoded frame against a lossless rendering of the picture it shows (found by
the bar code in the picture), scaled to 1280x720 with Lanczos.

Run through compare.sh, which builds what it needs.
"""
import argparse
import json
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

RATE = 15  # the scene's and both recorders' picture rate
W, H = 1280, 720  # recorded size of the 1920x1080 screen
BLOCK = 16  # bar code block at 1280x720 (24 screen pixels)
BITS = 16
# Where the bar code sits at 1280x720 (the screen position times 2/3).
BARCODE_AT = {"moving": (32, 32), "desktop": (960, 540)}


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def start_desktop(repo):
    out = subprocess.run([os.path.join(repo, "scripts/desktop.sh"), "start"], check=True,
                         capture_output=True, text=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    env = dict(os.environ)
    for key in ("DISPLAY", "PULSE_SERVER", "PULSE_CLIENTCONFIG"):
        env[key] = values[key]
    return values["KESTRANO_DESKTOP"], env


def spawn_tones(env, folder):
    procs = []
    for freq, device in ((440, "speaker"), (1000, "micsink")):
        procs.append(subprocess.Popen(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
             f"sine=frequency={freq}:sample_rate=48000", "-ac", "2", "-f", "pulse", "-device",
             device, f"tone-{freq}"], env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, f"tone-{freq}.log"), "w")))
    return procs


def stop_player(player):
    """Stops the scene; returns when each picture reached the screen (ns)."""
    player.send_signal(signal.SIGTERM)
    out, _ = player.communicate(timeout=30)
    shown = {}
    for line in out.decode().splitlines():
        parts = line.split()
        if len(parts) == 2:
            shown[int(parts[0])] = int(parts[1])
    return shown


def stop_procs(procs):
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def reap(proc):
    """Waits for the child and returns its resource usage."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return usage


def read_line(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        raise RuntimeError("no reply within %s s" % timeout)
    return stream.readline().decode(errors="replace").rstrip("\n")


def run_kestrano(binary, env, path, seconds, folder):
    proc = subprocess.Popen([binary], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=open(os.path.join(folder, "kestrano.stderr"), "w"))
    proc.stdin.write(f"start {path}\n".encode())
    proc.stdin.flush()
    began = time.monotonic()
    reply = read_line(proc.stdout, 30)
    if reply != "OK":
        raise RuntimeError("start: " + reply)
    time.sleep(max(0.0, seconds - (time.monotonic() - began)))
    proc.stdin.write(b"stop\n")
    proc.stdin.flush()
    asked = time.monotonic()
    reply = read_line(proc.stdout, 120)
    stop_seconds = time.monotonic() - asked
    if not reply.startswith("DONE "):
        raise RuntimeError("stop: " + reply)
    proc.stdin.close()
    usage = reap(proc)
    return usage, asked - began, stop_seconds


def run_ffmpeg(env, path, seconds, folder):
    cmd = ["ffmpeg", "-hide_banner", "-y", "-f", "x11grab", "-framerate", str(RATE),
           "-video_size", "1920x1080", "-i", env["DISPLAY"], "-f", "pulse", "-i",
           "speaker.monitor", "-f", "pulse", "-i", "mic", "-map", "0", "-map", "1", "-map", "2",
           "-vf", "scale=1280:-2", "-pix_fmt", "yuv420p", "-c:v", "libx264",
           "-profile:v", "high", "-b:v", "500k", "-g",
           "30", "-c:a", "aac", "-b:a", "96k", "-ar", "48000", "-ac", "2", path]
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(folder, "ffmpeg.stderr"), "w"))
    began = time.monotonic()
    time.sleep(seconds)
    try:
        proc.stdin.write(b"q")
        proc.stdin.flush()
    except BrokenPipeError:
        raise RuntimeError("ffmpeg ended early; see ffmpeg.stderr")
    asked = time.monotonic()
    usage = reap(proc)
    stop_seconds = time.monotonic() - asked
    return usage, asked - began, stop_seconds, " ".join(cmd)


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-show_entries",
                          "stream=codec_type,nb_read_packets,duration", "-of", "json", path],
                         check=True, capture_output=True, text=True).stdout
    streams = json.loads(out)["streams"]
    video = [s for s in streams if s["codec_type"] == "video"][0]
    audio = [s for s in streams if s["codec_type"] == "audio"]
    return {"video_frames": int(video["nb_read_packets"]),
            "video_seconds": float(video.get("duration", 0)),
            "audio_seconds": [float(a.get("duration", 0)) for a in audio]}


def read_barcodes(path, scene):
    """The picture number of every decoded frame, in order (None: unreadable)."""
    x0, y0 = BARCODE_AT[scene]
    proc = decoder(path, "gray", subprocess.PIPE)
    size = W * H
    numbers = []
    while True:
        frame = proc.stdout.read(size)
        if len(frame) < size:
            break

        def level(block):
            cx, cy = x0 + block * BLOCK + BLOCK // 2, y0 + BLOCK // 2
            total = 0
            for dy in range(-3, 4):
                row = (cy + dy) * W
                total += sum(frame[row + cx - 3:row + cx + 4])
            return total / 49

        if level(0) < 160 or level(BITS + 1) > 96:
            numbers.append(None)
            continue
        k = 0
        for b in range(BITS):
            k = (k << 1) | (1 if level(b + 1) >= 128 else 0)
        numbers.append(k)
    proc.wait()
    return numbers


def decoder(path, pix_fmt, stdout):
    """Every stored frame once, in presentation order, as raw pictures."""
    return subprocess.Popen(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-vf",
                             f"setpts=N/{RATE}/TB", "-r", str(RATE), "-f", "rawvideo",
                             "-pix_fmt", pix_fmt, "-"], stdout=stdout)


def ssim(path, scene, numbers, scene_binary, folder, name):
    """Mean SSIM (Y and all planes) of the readable frames against their pictures."""
    stats = os.path.join(folder, f"{name}-ssim.log")
    chosen = []
    last = 0
    for k in numbers:
        last = k if k is not None else last
        chosen.append(last)
    # Both sides arrive as raw pictures and are paired by count: the
    # recording through a pipe from the same decoding that read the bar
    # codes, the rendering on stdin.
    fifo = os.path.join(folder, f"{name}.fifo")
    if os.path.exists(fifo):
        os.unlink(fifo)
    os.mkfifo(fifo)
    render = subprocess.Popen([scene_binary, "render", scene], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE)
    graph = (f"[1:v]scale={W}:{H}:flags=lanczos+accurate_rnd+full_chroma_int,"
             f"format=yuv420p[b];[0:v][b]ssim=stats_file={stats}")
    compare = subprocess.Popen(["ffmpeg", "-v", "error", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                                "-s", f"{W}x{H}", "-framerate", str(RATE), "-i", fifo,
                                "-f", "rawvideo", "-pix_fmt", "bgr0", "-s", "1920x1080",
                                "-framerate", str(RATE), "-i", "pipe:0", "-lavfi", graph,
                                "-f", "null", "-"], stdin=render.stdout)
    render.stdout.close()
    with open(fifo, "wb") as sink:
        decode = decoder(path, "yuv420p", sink)
    render.stdin.write("".join(f"{k}\n" for k in chosen).encode())
    render.stdin.close()
    decode.wait()
    compare.wait()
    render.wait()
    os.unlink(fifo)
    ys, alls = [], []
    with open(stats) as f:
        for i, line in enumerate(f):
            y = re.search(r"Y:([0-9.]+)", line)
            a = re.search(r"All:([0-9.]+)", line)
            if i < len(numbers) and numbers[i] is not None and y and a:
                ys.append(float(y.group(1)))
                alls.append(float(a.group(1)))
    if not ys:
        return None, None, None
    return sum(ys) / len(ys), sum(alls) / len(alls), min(alls)


def analyse(path, scene, scene_binary, folder, name, shown_at=None):
    info = probe(path)
    numbers = read_barcodes(path, scene)
    if len(numbers) != info["video_frames"]:
        raise RuntimeError(f"{path}: {len(numbers)} frames decoded, "
                           f"{info['video_frames']} stored")
    readable = [k for k in numbers if k is not None]
    distinct = len(set(readable))
    shown = (max(readable) - min(readable) + 1) if readable else 0
    # Pictures that stood on the screen for a whole capture interval (less
    # a millisecond) inside the recorded stretch: a 15 Hz capture must catch
    # each of them. Shorter ones (the scene running late) may be missed.
    full = None
    if shown_at and readable:
        caught = set(readable)
        full = [k for k in range(min(readable), max(readable) + 1)
                if k in shown_at and k + 1 in shown_at
                and shown_at[k + 1] - shown_at[k] >= 1e9 / RATE - 1e6]
        info["pictures_full_interval"] = len(full)
        info["lost_full_interval"] = len([k for k in full if k not in caught])
    info.update({"decoded_frames": len(numbers), "unreadable": len(numbers) - len(readable),
                 "distinct_pictures": distinct, "pictures_shown": shown,
                 "lost": shown - distinct, "size": os.path.getsize(path)})
    info["ssim_y"], info["ssim_all"], info["ssim_min"] = ssim(path, scene, numbers,
                                                              scene_binary, folder, name)
    return info


def measure(usage, recorded, stop_seconds):
    cpu = usage.ru_utime + usage.ru_stime
    return {"cpu_seconds": cpu, "recorded_seconds": recorded,
            "cpu_per_second": cpu / recorded, "peak_rss_mb": usage.ru_maxrss / 1024.0,
            "stop_seconds": stop_seconds}


ROWS = [("CPU s per recorded s", "cpu_per_second", "{:.3f}"),
        ("CPU seconds", "cpu_seconds", "{:.1f}"),
        ("peak RSS (MB)", "peak_rss_mb", "{:.1f}"),
        ("stop -> done (s)", "stop_seconds", "{:.3f}"),
        ("file size (MB)", "size", "{:.2f}"),
        ("video frames in file", "video_frames", "{}"),
        ("pictures shown", "pictures_shown", "{}"),
        ("distinct pictures caught", "distinct_pictures", "{}"),
        ("pictures lost", "lost", "{}"),
        ("pictures shown >= 1/15 s", "pictures_full_interval", "{}"),
        ("of those lost", "lost_full_interval", "{}"),
        ("unreadable frames", "unreadable", "{}"),
        ("SSIM all (mean)", "ssim_all", "{:.4f}"),
        ("SSIM Y (mean)", "ssim_y", "{:.4f}"),
        ("SSIM all (worst frame)", "ssim_min", "{:.4f}"),
        ("video s / audio s", "durations", "{}")]


def table(scene, ours, ref):
    lines = [f"### Scene: {scene}", "",
             "| measure | KestranoRecorder | ffmpeg CLI | ratio (ours/ffmpeg) |",
             "|---|---|---|---|"]
    for label, key, fmt in ROWS:
        a, b = ours.get(key), ref.get(key)
        if key == "size":
            a, b = a / 1e6, b / 1e6
        if key == "durations":
            a = "%.2f / %s" % (ours["video_seconds"],
                               " ".join("%.2f" % s for s in ours["audio_seconds"]))
            b = "%.2f / %s" % (ref["video_seconds"],
                               " ".join("%.2f" % s for s in ref["audio_seconds"]))
            lines.append(f"| {label} | {a} | {b} | |")
            continue
        ratio = ""
        if isinstance(a, (int, float)) and isinstance(b, (int, float)) and b:
            ratio = "%.3f" % (a / b)
        sa = fmt.format(a) if a is not None else "-"
        sb = fmt.format(b) if b is not None else "-"
        lines.append(f"| {label} | {sa} | {sb} | {ratio} |")
    if ours.get("ssim_all") is not None and ref.get("ssim_all") is not None:
        lines.append(f"| SSIM all difference | | | {ours['ssim_all'] - ref['ssim_all']:+.4f} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repo", required=True)
    parser.add_argument("--recorder", required=True)
    parser.add_argument("--scene-binary", required=True)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--scenes", default="moving,desktop")
    parser.add_argument("--only", choices=["both", "kestrano", "ffmpeg"], default="both")
    parser.add_argument("--out", default=None, help="folder for files and results.json")
    args = parser.parse_args()

    folder = args.out or tempfile.mkdtemp(prefix="kestrano-compare.")
    os.makedirs(folder, exist_ok=True)
    log("files in", folder)
    desktop, env = start_desktop(args.repo)
    results = {}
    try:
        tones = spawn_tones(env, folder)
        for scene in args.scenes.split(","):
            player = subprocess.Popen([args.scene_binary, "play", scene], env=env,
                                      stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            read_line(player.stdout, 10)
            # The sound server's first seconds on an idle sink stall; let the
            # scene and the tones settle before either recorder starts.
            time.sleep(3)
            results[scene] = {}
            try:
                if args.only in ("both", "kestrano"):
                    path = os.path.join(folder, f"kestrano-{scene}.mp4")
                    log(f"{scene}: KestranoRecorder for {args.seconds} s")
                    usage, recorded, stop_s = run_kestrano(args.recorder, env, path,
                                                           args.seconds, folder)
                    results[scene]["kestrano"] = measure(usage, recorded, stop_s)
                if args.only in ("both", "ffmpeg"):
                    path = os.path.join(folder, f"ffmpeg-{scene}.mp4")
                    log(f"{scene}: ffmpeg for {args.seconds} s")
                    usage, recorded, stop_s, cmd = run_ffmpeg(env, path, args.seconds, folder)
                    results[scene]["ffmpeg"] = measure(usage, recorded, stop_s)
                    results["ffmpeg_command"] = cmd
            finally:
                shown_at = stop_player(player)
            for name in results[scene]:
                log(f"{scene}: analysing {name}")
                path = os.path.join(folder, f"{name}-{scene}.mp4")
                results[scene][name].update(
                    analyse(path, scene, args.scene_binary, folder, f"{name}-{scene}", shown_at))
        stop_procs(tones)
    finally:
        subprocess.run([os.path.join(args.repo, "scripts/desktop.sh"), "stop", desktop])
    with open(os.path.join(folder, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    for scene in args.scenes.split(","):
        r = results[scene]
        if "kestrano" in r and "ffmpeg" in r:
            print(table(scene, r["kestrano"], r["ffmpeg"]))
            print()
        else:
            print(f"### Scene: {scene}")
            print(json.dumps(r, indent=1))
    print("results:", os.path.join(folder, "results.json"))


if __name__ == "__main__":
    main()
