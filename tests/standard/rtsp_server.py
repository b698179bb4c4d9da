#!/usr/bin/python3
"""A standard RTSP server for tests: GStreamer's, serving a live H.264 (or,
with --codec h265, H.265) test picture at rtsp://ADDRESS:PORT/PATH, with Digest authentication when a user
is given. Prints "ready PORT" once it listens and stops by itself after
--seconds. Loopback addresses only."""
import argparse
import ipaddress
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0: any free port")
    parser.add_argument("--path", default="/cam")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--size", default="320x180")
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--gop", type=int, default=25)
    parser.add_argument("--bitrate-kbps", type=int, default=400)
    parser.add_argument("--pattern", default="ball", choices=["ball", "snow", "smpte"],
                        help="snow fills any bitrate (benchmarks); ball compresses well")
    parser.add_argument("--transports", default="tcp,udp", help="tcp, udp or both")
    parser.add_argument("--codec", default="h264", choices=["h264", "h265"])
    parser.add_argument("--seconds", type=float, default=60)
    args = parser.parse_args()
    if not ipaddress.ip_address(args.address).is_loopback:
        sys.exit("loopback addresses only")
    if not 0 < args.seconds <= 3600:
        sys.exit("--seconds must be within (0, 3600]")
    width, height = (int(v) for v in args.size.split("x"))

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address(args.address)
    server.set_service(str(args.port))

    factory = GstRtspServer.RTSPMediaFactory()
    if args.codec == "h265":
        # Closed GOPs: key frames are IDR pictures, as a camera's are.
        encode = (f"x265enc tune=zerolatency speed-preset=ultrafast key-int-max={args.gop} "
                  f"bitrate={args.bitrate_kbps} option-string=open-gop=0 "
                  "! rtph265pay name=pay0 pt=96 config-interval=-1")
    else:
        encode = (f"x264enc tune=zerolatency speed-preset=ultrafast key-int-max={args.gop} "
                  f"bitrate={args.bitrate_kbps} "
                  "! rtph264pay name=pay0 pt=96 config-interval=-1")
    factory.set_launch(
        f"( videotestsrc is-live=true pattern={args.pattern} "
        f"! video/x-raw,width={width},height={height},framerate={args.fps}/1 "
        f"! {encode} )")
    factory.set_shared(True)
    protocols = GstRtsp.RTSPLowerTrans(0)
    for name in args.transports.split(","):
        if name == "tcp":
            protocols |= GstRtsp.RTSPLowerTrans.TCP
        elif name == "udp":
            protocols |= GstRtsp.RTSPLowerTrans.UDP
        else:
            sys.exit(f"unknown transport {name}")
    factory.set_protocols(protocols)

    if args.user:
        auth = GstRtspServer.RTSPAuth()
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        token = GstRtspServer.RTSPToken()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "viewer")
        auth.add_digest(args.user, args.password, token)
        server.set_auth(auth)
        permissions = GstRtspServer.RTSPPermissions()
        permissions.add_role("viewer")
        permissions.add_permission_for_role("viewer", GstRtspServer.RTSP_PERM_MEDIA_FACTORY_ACCESS, True)
        permissions.add_permission_for_role("viewer", GstRtspServer.RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, True)
        factory.set_permissions(permissions)

    server.get_mount_points().add_factory(args.path, factory)
    loop = GLib.MainLoop()
    if server.attach(None) == 0:
        sys.exit("cannot listen")
    print(f"ready {server.get_bound_port()}", flush=True)
    GLib.timeout_add(int(args.seconds * 1000), loop.quit)
    loop.run()


if __name__ == "__main__":
    main()
