"""A menu without digits, driven like an agent's: arrow keys move the cursor, Enter chooses, a
typed digit does nothing. With the argument "stuck" the arrows do nothing either."""
import os
import sys
import termios
import time
import tty

options = ["Red", "Green", "Blue"]
stuck = sys.argv[1:] == ["stuck"]
cursor = 0


def draw():
    out = "\x1b[2J\x1b[H Pick a colour for the theme\r\n\r\n"
    for i, option in enumerate(options):
        out += (" \u276f " if i == cursor else "   ") + option + "\r\n"
    sys.stdout.buffer.write((out + "\r\n Enter to select \u00b7 Esc to cancel\r\n").encode())
    sys.stdout.flush()


fd = sys.stdin.fileno()
saved = termios.tcgetattr(fd)
tty.setraw(fd)
draw()
keys = b""
while True:
    keys += os.read(fd, 64)
    if b"\r" in keys:
        break
    moves = keys.count(b"\x1b[B") - keys.count(b"\x1b[A")
    keys = b""
    if not stuck:
        cursor = max(0, min(len(options) - 1, cursor + moves))
    draw()
termios.tcsetattr(fd, termios.TCSADRAIN, saved)
print("chose: " + options[cursor], flush=True)
time.sleep(600)  # the pane stays for the test to read
