#!/usr/bin/python3
"""Opens a ferrylink link, writes and reads back a word of the target's
memory, reads a block, then prints the data messages that arrive for a few
seconds.

    ferry_example.py tcp:127.0.0.1:52000
    ferry_example.py serial:/dev/ttyUSB0:115200 --seconds 10 --address 0x2000

docksim(1) serves as the target: ``docksim tcp --port 52000 --rate 2``.
Ctrl-C ends it at once, also while it waits for the target.
"""

import argparse
import sys
import time

import ferrylink


def main(argv=None):
    """Runs the example; returns the exit status."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("link", help="tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD]")
    parser.add_argument("--address", type=lambda text: int(text, 0), default=0x1000,
                        help="memory address to use (default 0x1000)")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to print messages (default 3)")
    parser.add_argument("--timeout", type=float, help="seconds to wait for the target (default: the library's 10)")
    parser.add_argument("--library", help="path of libferrylink.so.1 (default: FERRYLINK_LIBRARY, then installed)")
    args = parser.parse_args(argv)

    def show(kind, subtype, payload):
        print(f"message type {kind} subtype {subtype}: {len(payload)} bytes {payload[:16].hex(' ')}", flush=True)

    def failed():
        print("the link failed", flush=True)

    try:
        with ferrylink.Link(args.link, library=args.library, on_message=show, on_failure=failed,
                            timeout=args.timeout) as link:
            print(f"opened {link.endpoint}")
            link.write(args.address, 0xC0FFEE11)
            word = link.read(args.address, 4)
            print(f"wrote 0xc0ffee11 at {args.address:#x}, read back {int.from_bytes(word, 'little'):#010x}")
            block = link.read(args.address, 4096)
            print(f"read {len(block)} bytes at {args.address:#x}: {block[:16].hex(' ')} ...")
            print(f"messages for {args.seconds:g} s:", flush=True)
            time.sleep(args.seconds)
        print("closed")
    except (ValueError, OSError) as error:  # ferrylink.FerrylinkError is an OSError
        print(f"ferry_example: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("ferry_example: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
