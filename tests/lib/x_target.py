#!/usr/bin/env python3
"""An X client for the session tests: a borderless window of one colour at a fixed place,
which prints one JSON line per click and key it receives, so a test can check what the
remote hand really delivered to the X server.

    x_target.py WIDTHxHEIGHT+X+Y COLOUR NAME

Lines on standard output: {"e":"ready","id":<window id>}, then
{"e":"down"|"up","b":<button>,"x":<root x>,"y":<root y>} and
{"e":"key"|"keyup","k":<keysym name>,"c":<character>}. Closing stdin ends it.
"""
import json
import sys
import threading
import tkinter as tk


def say(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


def main():
    geometry, colour, name = sys.argv[1], sys.argv[2], sys.argv[3]
    root = tk.Tk(className=name)
    root.title(name)
    # Undecorated, so that the window manager puts it exactly where asked: its place is
    # what the tests aim at. A managed window, so that a click gives it the keyboard.
    root.attributes("-type", "splash")
    root.geometry(geometry)
    root.configure(background=colour, cursor="left_ptr")

    def pointer(kind):
        return lambda ev: say(e=kind, b=ev.num, x=ev.x_root, y=ev.y_root)

    root.bind("<ButtonPress>", lambda ev: (root.focus_force(), pointer("down")(ev)))
    root.bind("<ButtonRelease>", pointer("up"))
    root.bind("<KeyPress>", lambda ev: say(e="key", k=ev.keysym, c=ev.char))
    root.bind("<KeyRelease>", lambda ev: say(e="keyup", k=ev.keysym, c=ev.char))

    def ready():
        root.lift()
        root.focus_force()
        say(e="ready", id=root.winfo_id())

    # Ready once the window is really on the screen, so that the first click finds it.
    root.wait_visibility(root)
    root.after(100, ready)

    def watch_stdin():
        sys.stdin.read()
        root.after(0, root.destroy)

    threading.Thread(target=watch_stdin, daemon=True).start()
    root.mainloop()


if __name__ == "__main__":
    main()
