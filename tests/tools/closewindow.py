#!/usr/bin/python3
"""Close an X11 window the way a window manager's close button does.

Usage: closewindow.py [--timeout SECONDS] [--find-only] TITLE

Waits until a viewable top-level window with the exact title exists on
$DISPLAY, then sends it WM_DELETE_WINDOW (not with --find-only). Prints the
window id. Exits 0 when the window was found, 1 when it did not appear in time.
The timeout stretches by KORVEL_TEST_TIME_SCALE, as every wait of the tests does.
"""

import argparse
import os
import sys
import time

from Xlib import X, display, error
from Xlib.protocol import event


def window_title(d, window):
    for name, kind in (("_NET_WM_NAME", d.intern_atom("UTF8_STRING")), ("WM_NAME", X.AnyPropertyType)):
        prop = window.get_full_property(d.intern_atom(name), kind)
        if prop is not None and prop.value:
            value = prop.value
            return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)
    return None


def find_window(d, title):
    # Without a window manager, top-level windows are children of the root;
    # with one, they may sit one level below a frame.
    pending = list(d.screen().root.query_tree().children)
    depth = {w.id: 1 for w in pending}
    while pending:
        window = pending.pop(0)
        try:
            if window_title(d, window) == title and window.get_attributes().map_state == X.IsViewable:
                return window
            if depth[window.id] < 2:
                for child in window.query_tree().children:
                    depth[child.id] = depth[window.id] + 1
                    pending.append(child)
        except error.XError:
            continue  # went away while we looked
    return None


def time_scale():
    try:
        scale = float(os.environ.get("KORVEL_TEST_TIME_SCALE", "1"))
    except ValueError:
        return 1.0
    return scale if scale > 1 else 1.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("--find-only", action="store_true")
    parser.add_argument("title")
    args = parser.parse_args()

    d = display.Display()
    deadline = time.monotonic() + args.timeout * time_scale()
    window = find_window(d, args.title)
    while window is None and time.monotonic() < deadline:
        time.sleep(0.1)
        window = find_window(d, args.title)
    if window is None:
        print("no window titled %r" % args.title, file=sys.stderr)
        return 1

    if args.find_only:
        print("0x%x" % window.id)
        return 0

    protocols = d.intern_atom("WM_PROTOCOLS")
    delete = d.intern_atom("WM_DELETE_WINDOW")
    message = event.ClientMessage(window=window, client_type=protocols,
                                  data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    window.send_event(message, event_mask=X.NoEventMask)
    d.sync()
    print("0x%x" % window.id)
    return 0


if __name__ == "__main__":
    sys.exit(main())
