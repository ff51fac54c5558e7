"""Turns what a program wrote to a terminal (Unicode half blocks and ANSI colours) into a
PNG, the way a terminal with a dark theme would paint it: the default colours are light
text on a black ground, so only colours the program wrote itself make a dark-on-light
picture. Used by the QR tests to hand the terminal's code to zbarimg."""
import re
import struct
import zlib

# What each cell paints: (upper half, lower half), True for the foreground colour.
HALVES = {" ": (False, False), "\u2580": (True, False), "\u2584": (False, True),
          "\u2588": (True, True)}
# A dark theme's defaults, and the eight basic colours as xterm paints them.
DEFAULT_FOREGROUND = (255, 255, 255)
DEFAULT_BACKGROUND = (0, 0, 0)
BASIC = [(0, 0, 0), (205, 0, 0), (0, 205, 0), (205, 205, 0), (0, 0, 238), (205, 0, 205),
         (0, 205, 205), (229, 229, 229)]
SGR = re.compile(r"\x1b\[([0-9;]*)m")


def palette256(n):
    if n < 8:
        return BASIC[n]
    if n < 16:
        return tuple(min(255, c + 50) for c in BASIC[n - 8])
    if n < 232:
        n -= 16
        steps = [0, 95, 135, 175, 215, 255]
        return (steps[n // 36], steps[(n // 6) % 6], steps[n % 6])
    grey = 8 + 10 * (n - 232)
    return (grey, grey, grey)


def apply_sgr(params, state):
    codes = [int(p) if p else 0 for p in params.split(";")] if params else [0]
    i = 0
    while i < len(codes):
        code = codes[i]
        if code == 0:
            state["fg"], state["bg"] = DEFAULT_FOREGROUND, DEFAULT_BACKGROUND
        elif 30 <= code <= 37:
            state["fg"] = BASIC[code - 30]
        elif 40 <= code <= 47:
            state["bg"] = BASIC[code - 40]
        elif code == 39:
            state["fg"] = DEFAULT_FOREGROUND
        elif code == 49:
            state["bg"] = DEFAULT_BACKGROUND
        elif code in (38, 48) and i + 2 < len(codes) and codes[i + 1] == 5:
            state["fg" if code == 38 else "bg"] = palette256(codes[i + 2])
            i += 2
        elif code in (38, 48) and i + 4 < len(codes) and codes[i + 1] == 2:
            state["fg" if code == 38 else "bg"] = tuple(codes[i + 2:i + 5])
            i += 4
        i += 1


def terminal_rows(text):
    """The painted picture, one grey value per half cell, as rows of pixels."""
    rows = []
    state = {"fg": DEFAULT_FOREGROUND, "bg": DEFAULT_BACKGROUND}
    for line in text.split("\n"):
        upper, lower = [], []
        at = 0
        while at < len(line):
            match = SGR.match(line, at)
            if match:
                apply_sgr(match.group(1), state)
                at = match.end()
                continue
            top, bottom = HALVES.get(line[at], (False, False))
            grey = {k: sum(state[k]) // 3 for k in ("fg", "bg")}
            upper.append(grey["fg"] if top else grey["bg"])
            lower.append(grey["fg"] if bottom else grey["bg"])
            at += 1
        if upper:
            rows += [upper, lower]
    width = max((len(r) for r in rows), default=0)
    # Short lines end where the terminal's ground begins.
    return [r + [sum(DEFAULT_BACKGROUND) // 3] * (width - len(r)) for r in rows]


def png(rows, scale=4):
    """An 8-bit grey-scale PNG of `rows`, each value a scale x scale square."""
    height, width = len(rows) * scale, len(rows[0]) * scale
    raw = b"".join(b"\0" + bytes(v for v in row for _ in range(scale)) * 1
                   for row in rows for _ in range(scale))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def terminal_png(text, scale=4):
    return png(terminal_rows(text), scale)
