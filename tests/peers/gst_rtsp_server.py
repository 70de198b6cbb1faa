#!/usr/bin/python3
"""A real RTSP server for the network-camera tests: GStreamer's RTSP server
serving a live H.264 test picture on a loopback port, with no
authentication, Basic or Digest. Prints "port N" once it listens and exits
by itself after --duration seconds (or when its parent closes stdin).
With --bframes N it sends a High-profile stream with N B-frames, as many
cameras do; with --stop-after S it stops in the middle of the stream S
seconds after the first client started playing: --stop-how close closes
every client's connection, stall keeps them open and sends nothing more.

Debian 12 packages: python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-rtsp-server-1.0
gstreamer1.0-plugins-{base,good,ugly,bad} gstreamer1.0-rtsp (scripts/setup.sh).
"""

import argparse
import os
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


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
    parser.add_argument("--stop-after", type=float, default=0)
    parser.add_argument("--stop-how", choices=["close", "stall"],
                        default="close")
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    if args.bframes > 0:
        encoder = (f"x264enc speed-preset=ultrafast bframes={args.bframes} "
                   "b-adapt=false threads=1 key-int-max=30 bitrate=2048 "
                   "! video/x-h264,profile=high")
    else:
        encoder = ("x264enc tune=zerolatency speed-preset=ultrafast "
                   "bframes=0 key-int-max=30 bitrate=2048 "
                   "! video/x-h264,profile=baseline")
    factory.set_launch(
        "( videotestsrc is-live=true pattern=ball "
        f"! video/x-raw,width={args.width},height={args.height},framerate=30/1 "
        f"! {encoder} ! rtph264pay name=pay0 pt=96 )")
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
