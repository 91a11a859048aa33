#!/usr/bin/python3
"""Reads recordings with four readers that share no code: ffprobe (FFmpeg),
GStreamer's qtdemux, MediaInfo and mp4box.js (GPAC's parser for browsers), and
prints, per reader and track, the samples it delivers or counts, the key
frames and the duration (readers differ in whether they apply the edit lists
to these). Exits 1 when one reader reads the files differently: given the same
recording finished two ways, they must read the same.

    bench/writer/readers.py FILE...

Needs ffprobe, mediainfo, gir1.2-gstreamer-1.0 with gstreamer1.0-plugins-good,
node, and the npm package mp4box under $MP4BOX_DIR (default
~/.cache/kestrano-mp4box: `npm install --prefix ~/.cache/kestrano-mp4box mp4box`).
"""
import json
import os
import subprocess
import sys

MP4BOX_DIR = os.environ.get("MP4BOX_DIR", os.path.expanduser("~/.cache/kestrano-mp4box"))

# mp4box.js is fed the file as a browser would, skipping what it does not ask
# for (the media data), so long files need no memory for it.
MP4BOX_JS = r"""
const MP4Box = require('mp4box');
const fs = require('fs');
const file = MP4Box.createFile();
let info = null;
file.onReady = (i) => { info = i; };
const fd = fs.openSync(process.argv[1], 'r');
const size = fs.fstatSync(fd).size;
let at = 0;
while (at < size && info === null) {
  const n = Math.min(1 << 20, size - at);
  const b = Buffer.alloc(n);
  fs.readSync(fd, b, 0, n, at);
  const ab = b.buffer.slice(b.byteOffset, b.byteOffset + n);
  ab.fileStart = at;
  const next = file.appendBuffer(ab);
  at = next > at ? next : at + n;
}
file.flush();
console.log(JSON.stringify(info.tracks.map((t) => {
  const samples = file.getTrackById(t.id).samples;
  return [samples.length, samples.filter((s) => s.is_sync).length,
          t.movie_duration / info.timescale];
})));
"""


def streams(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=index,codec_type",
                          "-of", "json", path], capture_output=True, text=True, check=True).stdout
    return json.loads(out)["streams"]


def ffprobe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                          "packet=stream_index,flags:stream=duration", "-of", "json", path],
                         capture_output=True, text=True, check=True).stdout
    data = json.loads(out)
    tracks = [[0, 0, float(s.get("duration", 0))] for s in data["streams"]]
    for p in data["packets"]:
        tracks[p["stream_index"]][0] += 1
        tracks[p["stream_index"]][1] += "K" in p["flags"]
    return tracks


def gstreamer(path):
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    Gst.init(None)
    pads = [s["codec_type"] + "_" + str(i) for s in streams(path)
            for i in [sum(t["codec_type"] == s["codec_type"] for t in streams(path)[:s["index"]])]]
    pipeline = Gst.parse_launch("filesrc name=src ! qtdemux name=d " + " ".join(
        "d.%s ! queue ! fakesink name=s%d sync=false signal-handoffs=true" % (pad, i)
        for i, pad in enumerate(pads)))
    pipeline.get_by_name("src").set_property("location", path)
    tracks = [[0, 0, 0.0] for _ in pads]

    def on_buffer(_, buf, __, track):
        track[0] += 1
        track[1] += not buf.has_flags(Gst.BufferFlags.DELTA_UNIT)
        if buf.pts != Gst.CLOCK_TIME_NONE:
            end = buf.pts + (buf.duration if buf.duration != Gst.CLOCK_TIME_NONE else 0)
            track[2] = max(track[2], end / Gst.SECOND)

    for i, track in enumerate(tracks):
        pipeline.get_by_name("s%d" % i).connect("handoff", on_buffer, track)
    pipeline.set_state(Gst.State.PLAYING)
    msg = None
    while msg is None:  # short waits: the streaming threads need the interpreter meanwhile
        msg = pipeline.get_bus().timed_pop_filtered(
            100 * Gst.MSECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    if msg.type == Gst.MessageType.ERROR:
        raise RuntimeError(msg.parse_error()[0].message)
    return tracks


def mediainfo(path):
    out = subprocess.run(["mediainfo", "--Output=JSON", path], capture_output=True, text=True,
                         check=True).stdout
    tracks = []
    for t in json.loads(out)["media"]["track"]:
        if t["@type"] in ("Video", "Audio"):
            # MediaInfo does not count key frames.
            tracks.append([int(t["FrameCount"]), None, float(t["Duration"])])
    return tracks


def mp4box(path):
    env = dict(os.environ, NODE_PATH=os.path.join(MP4BOX_DIR, "node_modules"))
    out = subprocess.run(["node", "-e", MP4BOX_JS, "--", path], capture_output=True, text=True,
                         check=True, env=env).stdout
    return json.loads(out)


def main():
    results = []
    for path in sys.argv[1:]:
        print(path)
        results.append({})
        for name, read in (("ffprobe", ffprobe), ("gstreamer", gstreamer),
                           ("mediainfo", mediainfo), ("mp4box.js", mp4box)):
            results[-1][name] = read(path)
            print("  %-10s %s" % (name, "  ".join(
                "%d samples, %s key, %.3f s" % (n, "-" if k is None else k, d)
                for n, k, d in results[-1][name])))
    # Each reader must read every file the same, to the millisecond.
    rounded = [{name: [[n, k, round(d, 3)] for n, k, d in tracks] for name, tracks in r.items()}
               for r in results]
    differ = [name for name in rounded[0] if any(r[name] != rounded[0][name] for r in rounded)]
    if differ:
        print("read differently by: " + ", ".join(differ))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
