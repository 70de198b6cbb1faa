#!/usr/bin/python3
"""A real RTSP server for the network-camera tests: GStreamer's RTSP server
serving a live H.264 test picture on a loopback port, with no
authentication, Basic or Digest. Prints "port N" once it listens and exits
by itself after --duration seconds (or when its parent closes stdin).
With --bframes N it sends a High-profile stream with N B-frames, as many
cameras do; --x264-defaults sends x264's own B-frame structure instead
(three adaptive B-frames in a pyramid), and --strip-vui takes the VUI out
of every SPS, as encoders that write none send it; with --stop-after S it stops in the middle of the stream S
seconds after the first client started playing: --stop-how close closes
every client's connection, stall keeps them open and sends nothing more.

Debian 12 packages: python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-rtsp-server-1.0
gstreamer1.0-plugins-{base,good,ugly,bad} gstreamer1.0-rtsp (scripts/setup.sh).
"""

import argparse
import os
import signal
import sys
import threading

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


class BitReader:
    """Exp-Golomb reading over an RBSP."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def bit(self):
        byte = self.data[self.pos // 8] if self.pos // 8 < len(self.data) else 0
        value = (byte >> (7 - self.pos % 8)) & 1
        self.pos += 1
        return value

    def bits(self, n):
        value = 0
        for _ in range(n):
            value = (value << 1) | self.bit()
        return value

    def ue(self):
        zeros = 0
        while self.bit() == 0 and zeros < 32:
            zeros += 1
        return (1 << zeros) - 1 + self.bits(zeros)

    def se(self):
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)


def unescape(nal):
    out, zeros = bytearray(), 0
    for i, byte in enumerate(nal):
        if zeros >= 2 and byte == 3 and i + 1 < len(nal) and nal[i + 1] < 4:
            zeros = 0
            continue
        zeros = zeros + 1 if byte == 0 else 0
        out.append(byte)
    return bytes(out)


def escape(rbsp):
    out, zeros = bytearray(), 0
    for byte in rbsp:
        if zeros >= 2 and byte < 4:
            out.append(3)
            zeros = 0
        zeros = zeros + 1 if byte == 0 else 0
        out.append(byte)
    return bytes(out)


def sps_without_vui(nal):
    """The SPS NAL unit (header byte first) with vui_parameters_present_flag
    cleared and nothing after it."""
    r = BitReader(unescape(nal[1:]))
    profile = r.bits(8)
    r.bits(16)
    r.ue()
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134,
                   135):
        chroma = r.ue()
        if chroma == 3:
            r.bit()
        r.ue()
        r.ue()
        r.bit()
        if r.bit():
            for i in range(12 if chroma == 3 else 8):
                if r.bit():
                    last = nxt = 8
                    for _ in range(16 if i < 6 else 64):
                        if nxt != 0:
                            nxt = (last + r.se()) % 256
                        last = last if nxt == 0 else nxt
    r.ue()
    poc = r.ue()
    if poc == 0:
        r.ue()
    elif poc == 1:
        r.bit()
        r.se()
        r.se()
        for _ in range(r.ue()):
            r.se()
    r.ue()
    r.bit()
    r.ue()
    r.ue()
    if not r.bit():
        r.bit()
    r.bit()
    if r.bit():
        for _ in range(4):
            r.ue()
    kept = r.pos
    source = BitReader(unescape(nal[1:]))
    bits = [source.bit() for _ in range(kept)] + [0, 1]  # no VUI, stop bit
    while len(bits) % 8:
        bits.append(0)
    rbsp = bytes(int("".join(map(str, bits[i:i + 8])), 2)
                 for i in range(0, len(bits), 8))
    return nal[:1] + escape(rbsp)


def strip_vui(stream):
    """An Annex B access unit with the VUI taken out of each SPS."""
    out, at = bytearray(), 0
    starts = []
    i = stream.find(b"\0\0\1")
    while i >= 0:
        starts.append(i + 3)
        i = stream.find(b"\0\0\1", i + 3)
    for n, start in enumerate(starts):
        end = starts[n + 1] - 3 if n + 1 < len(starts) else len(stream)
        nal = stream[start:end].rstrip(b"\0")
        if nal and nal[0] & 0x1F == 7:
            nal = sps_without_vui(nal)
        out += b"\0\0\0\1" + nal
    return bytes(out)


def serve_through_appsrc(factory, picture, encoder):
    """Encodes in a pipeline of its own for each client's media and feeds
    the access units, each SPS without its VUI, to the media's appsrc with
    their own decode and presentation times."""
    factory.set_launch(
        "( appsrc name=src is-live=true format=time "
        "caps=video/x-h264,stream-format=byte-stream,alignment=au "
        "! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 )")

    def on_configure(factory, media):
        source = media.get_element().get_by_name_recurse_up("src")
        encoding = Gst.parse_launch(
            f"{picture} ! {encoder},stream-format=byte-stream,alignment=au "
            "! appsink name=sink emit-signals=true sync=false")
        offset = {}
        lock = threading.Lock()

        def on_sample(sink):
            sample = sink.emit("pull-sample")
            buffer = sample.get_buffer()
            ok, mapped = buffer.map(Gst.MapFlags.READ)
            if not ok:
                return Gst.FlowReturn.ERROR
            data = strip_vui(bytes(mapped.data))
            buffer.unmap(mapped)
            out = Gst.Buffer.new_wrapped(data)
            with lock:
                if "ns" not in offset:
                    now = source.get_current_running_time()
                    offset["ns"] = now + 200 * Gst.MSECOND - buffer.dts
            out.pts = buffer.pts + offset["ns"]
            out.dts = buffer.dts + offset["ns"]
            out.duration = buffer.duration
            if buffer.has_flags(Gst.BufferFlags.DELTA_UNIT):
                out.set_flags(Gst.BufferFlags.DELTA_UNIT)
            source.emit("push-buffer", out)
            return Gst.FlowReturn.OK

        encoding.get_by_name("sink").connect("new-sample", on_sample)
        media.connect("unprepared",
                      lambda *a: encoding.set_state(Gst.State.NULL))
        encoding.set_state(Gst.State.PLAYING)

    factory.connect("media-configure", on_configure)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0, help="0: any free port")
    parser.add_argument("--auth", choices=["none", "basic", "digest"],
                        default="none")
    parser.add_argument("--user", default="admin")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=360)
    parser.add_argument("--session-timeout", type=int, default=60)
    parser.add_argument("--duration", type=int, default=60)
    parser.add_argument("--watch-stdin", action="store_true",
                        help="stop when stdin closes (a test's pipe)")
    parser.add_argument("--bframes", type=int, default=0)
    parser.add_argument("--x264-defaults", action="store_true")
    parser.add_argument("--strip-vui", action="store_true")
    parser.add_argument("--stop-after", type=float, default=0)
    parser.add_argument("--stop-how", choices=["close", "stall"],
                        default="close")
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    if args.x264_defaults:
        # x264's own B-frame choice: up to three, adaptive, in a pyramid
        # (the element's defaults turn the pyramid off).
        encoder = ("x264enc speed-preset=veryfast bframes=3 b-adapt=true "
                   "b-pyramid=true threads=1 key-int-max=30 bitrate=2048 "
                   "! video/x-h264,profile=high")
    elif args.bframes > 0:
        encoder = (f"x264enc speed-preset=ultrafast bframes={args.bframes} "
                   "b-adapt=false threads=1 key-int-max=30 bitrate=2048 "
                   "! video/x-h264,profile=high")
    else:
        encoder = ("x264enc tune=zerolatency speed-preset=ultrafast "
                   "bframes=0 key-int-max=30 bitrate=2048 "
                   "! video/x-h264,profile=baseline")
    picture = ("videotestsrc is-live=true pattern=ball "
               f"! video/x-raw,width={args.width},height={args.height},"
               "framerate=30/1")
    if args.strip_vui:
        serve_through_appsrc(factory, picture, encoder)
    else:
        factory.set_launch(
            f"( {picture} ! {encoder} ! rtph264pay name=pay0 pt=96 )")
    factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
    if args.auth != "none":
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "user")
        if args.auth == "basic":
            basic = GstRtspServer.RTSPAuth.make_basic(args.user, args.password)
            auth.add_basic(basic, token)
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
        else:
            auth.add_digest(args.user, args.password, token)
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        server.set_auth(auth)
        factory.add_role_from_structure(Gst.Structure.new_from_string(
            "user, media.factory.access=(boolean)true, "
            "media.factory.construct=(boolean)true"))

    def on_session(client, session):
        session.set_timeout(args.session_timeout)

    def on_client(srv, client):
        client.connect("new-session", on_session)

    stopping = {"armed": False}

    def stop_stream():
        if args.stop_how == "stall":
            # Connections stay open; nothing more comes (the process stands
            # still until the test ends it).
            os.kill(os.getpid(), signal.SIGSTOP)
        else:
            server.client_filter(
                lambda srv, client: GstRtspServer.RTSPFilterResult.REMOVE)
        return False

    def on_play(client, context):
        if args.stop_after > 0 and not stopping["armed"]:
            stopping["armed"] = True
            GLib.timeout_add(int(args.stop_after * 1000), stop_stream)

    def on_any_client(srv, client):
        client.connect("play-request", on_play)

    if args.session_timeout != 60:
        server.connect("client-connected", on_client)
    if args.stop_after > 0:
        server.connect("client-connected", on_any_client)
    server.get_mount_points().add_factory("/test", factory)
    server.attach(None)
    print(f"port {server.get_bound_port()}", flush=True)

    loop = GLib.MainLoop()
    GLib.timeout_add_seconds(args.duration, loop.quit)
    # The test closes stdin when it is done (or dies): stop then too.
    if args.watch_stdin:
        GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()),
                          GLib.IO_IN | GLib.IO_HUP, lambda *a: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
