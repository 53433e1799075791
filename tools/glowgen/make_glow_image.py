#!/usr/bin/env python3
"""Builds the 64x64 grey glow picture and writes src/raster/glow_image.cpp.

Run from anywhere (standard library only):

    python3 tools/glowgen/make_glow_image.py            # check the picture, write the .cpp
    python3 tools/glowgen/make_glow_image.py --verify   # check, and fail if the .cpp is stale
    python3 tools/glowgen/make_glow_image.py --png /tmp/glow.png   # also write an 8x preview

The picture is a radial falloff around (row 31.75, column 30.75) following PROFILE, with four
lines (row 31, column 31, row 0 and the main diagonal) pinned to fixed values. Every texel must
stay within TOLERANCE levels of the rounded profile; the generator checks that and the other
properties below and exits non-zero if any fails, writing nothing.

The pinned lines sit slightly off the nominal falloff (about a tenth of a texel towards the
top-left), so the free texels follow the same profile around a centre fitted to those lines.
That keeps the neighbours of a pinned line level with it instead of stepping by a level or two.
"""

import argparse
import math
import struct
import sys
import zlib
from pathlib import Path

SIZE = 64
CENTRE = (31.75, 30.75)  # (row, column) the tolerance is measured from
# Brightness at distance 0, 1, 2, ... 47 from CENTRE; linear in between, 0 beyond.
PROFILE = [
    245, 244, 244, 242, 240, 236, 232, 228, 222, 215, 207, 198, 189, 178, 167, 155,
    143, 130, 118, 105, 94, 82, 72, 62, 53, 45, 37, 31, 26, 21, 17, 14,
    11, 9, 7, 5, 4, 3, 2, 2, 1, 1, 0, 0, 0, 0, 0, 0,
]
TOLERANCE = 3
PEAK = 245
PEAK_TEXELS = [(31, 30), (31, 31), (32, 30), (32, 31)]
NONZERO_COUNT = 4035

ROW_31 = [
    16, 19, 23, 28, 33, 40, 47, 56, 65, 75, 86, 98, 110, 122, 134, 147,
    159, 171, 182, 192, 201, 210, 217, 224, 229, 234, 238, 240, 243, 244, 245, 245,
    244, 243, 241, 239, 235, 231, 226, 220, 213, 204, 195, 185, 175, 163, 151, 139,
    126, 114, 102, 90, 79, 68, 59, 50, 42, 35, 29, 24, 20, 16, 13, 11,
]
COLUMN_31 = [
    13, 15, 19, 23, 28, 33, 40, 47, 56, 65, 75, 86, 97, 110, 122, 134,
    147, 159, 171, 182, 192, 202, 210, 218, 224, 229, 234, 238, 241, 243, 244, 245,
    245, 244, 243, 241, 239, 235, 231, 226, 220, 213, 205, 195, 185, 175, 163, 151,
    139, 126, 114, 102, 90, 79, 68, 59, 50, 42, 35, 30, 25, 20, 17, 14,
]
ROW_0 = [
    0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5,
    6, 7, 7, 8, 9, 9, 10, 10, 11, 11, 12, 12, 12, 13, 13, 13,
    13, 12, 12, 12, 11, 11, 10, 10, 9, 9, 8, 7, 7, 6, 5, 5,
    4, 4, 3, 3, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0,
]
DIAGONAL = [
    0, 0, 1, 1, 2, 3, 4, 6, 9, 12, 17, 23, 30, 39, 50, 63,
    77, 93, 110, 127, 145, 162, 178, 193, 206, 217, 226, 233, 238, 242, 244, 245,
    244, 243, 240, 235, 228, 220, 210, 197, 183, 167, 150, 133, 115, 98, 82, 67,
    54, 43, 33, 25, 19, 14, 10, 7, 5, 3, 2, 1, 1, 0, 0, 0,
]

ROOT = Path(__file__).resolve().parents[2]
OUTPUT = ROOT / "src" / "raster" / "glow_image.cpp"


def profile(d):
    """PROFILE interpolated linearly at distance d."""
    i = int(d)
    if i >= len(PROFILE) - 1:
        return 0.0
    f = d - i
    return PROFILE[i] + (PROFILE[i + 1] - PROFILE[i]) * f


def profile_at(r, c, centre=CENTRE):
    return profile(math.sqrt((r - centre[0]) ** 2 + (c - centre[1]) ** 2))


def round_half_up(x):
    return math.floor(x + 0.5)


def target(r, c):
    """The rounded profile every texel must stay within TOLERANCE of."""
    return round_half_up(profile_at(r, c))


def pinned_lines():
    """{(row, column): value} for the four fixed lines; raises if two lines disagree."""
    pinned = {}
    cells = []
    cells += [((31, c), ROW_31[c], "row 31") for c in range(SIZE)]
    cells += [((r, 31), COLUMN_31[r], "column 31") for r in range(SIZE)]
    cells += [((0, c), ROW_0[c], "row 0") for c in range(SIZE)]
    cells += [((i, i), DIAGONAL[i], "diagonal") for i in range(SIZE)]
    owner = {}
    for rc, v, name in cells:
        if rc in pinned and pinned[rc] != v:
            raise SystemExit(f"pinned lines disagree at {rc}: {owner[rc]} says {pinned[rc]}, "
                             f"{name} says {v}")
        pinned[rc] = v
        owner[rc] = name
    return pinned


def fit_centre(pinned):
    """Centre (to 0.01 texel, within a quarter texel of CENTRE on each axis) whose profile
    best fits the pinned texels in the least-squares sense."""
    best = None
    for dr in range(51):
        for dc in range(51):
            centre = (CENTRE[0] - 0.25 + dr / 100.0, CENTRE[1] - 0.25 + dc / 100.0)
            err = sum((v - profile_at(r, c, centre)) ** 2 for (r, c), v in pinned.items())
            if best is None or err < best[0]:
                best = (err, centre)
    return best[1]


def build():
    pinned = pinned_lines()
    centre = fit_centre(pinned)
    fixed = dict(pinned)
    for rc in PEAK_TEXELS:
        fixed[rc] = PEAK

    shape = {}  # unrounded brightness of the free texels, used to pick which ones to nudge
    image = [[0] * SIZE for _ in range(SIZE)]
    for r in range(SIZE):
        for c in range(SIZE):
            if (r, c) in fixed:
                image[r][c] = fixed[(r, c)]
                continue
            t = target(r, c)
            s = profile_at(r, c, centre)
            shape[(r, c)] = s
            v = round_half_up(s)
            image[r][c] = max(0, min(PEAK, t + TOLERANCE, max(t - TOLERANCE, v)))

    # Meet the non-zero count by zeroing the faintest free texels the tolerance allows to be
    # zero, or lifting the brightest zero free texels to 1. Ties go by position, so the result
    # is deterministic.
    nudged = []
    zeros = sum(row.count(0) for row in image)
    want_zeros = SIZE * SIZE - NONZERO_COUNT
    if zeros < want_zeros:
        pool = sorted((s, rc) for rc, s in shape.items()
                      if image[rc[0]][rc[1]] != 0 and target(*rc) <= TOLERANCE)
        for _, (r, c) in pool[:want_zeros - zeros]:
            image[r][c] = 0
            nudged.append((r, c))
    elif zeros > want_zeros:
        corners = {(0, 0), (0, SIZE - 1), (SIZE - 1, 0), (SIZE - 1, SIZE - 1)}
        pool = sorted((-s, rc) for rc, s in shape.items()
                      if image[rc[0]][rc[1]] == 0 and rc not in corners)
        for _, (r, c) in pool[:zeros - want_zeros]:
            image[r][c] = 1
            nudged.append((r, c))
    return image, centre, nudged


def check(image):
    """Every failed property as a message; empty when the picture is sound."""
    fails = []
    flat = [v for row in image for v in row]
    if len(image) != SIZE or any(len(row) != SIZE for row in image):
        return ["picture is not 64x64"]
    if any(not 0 <= v <= 255 for v in flat):
        fails.append("a texel is outside 0-255")
    if max(flat) != PEAK:
        fails.append(f"brightest texel is {max(flat)}, not {PEAK}")
    for r, c in PEAK_TEXELS:
        if image[r][c] != PEAK:
            fails.append(f"texel ({r}, {c}) is {image[r][c]}, not the peak {PEAK}")
    for r, c in [(0, 0), (0, SIZE - 1), (SIZE - 1, 0), (SIZE - 1, SIZE - 1)]:
        if image[r][c] != 0:
            fails.append(f"corner ({r}, {c}) is {image[r][c]}, not 0")
    nonzero = sum(1 for v in flat if v != 0)
    if nonzero != NONZERO_COUNT:
        fails.append(f"{nonzero} non-zero texels, not {NONZERO_COUNT}")
    lines = [
        ("row 31", [(31, c) for c in range(SIZE)], ROW_31),
        ("column 31", [(r, 31) for r in range(SIZE)], COLUMN_31),
        ("row 0", [(0, c) for c in range(SIZE)], ROW_0),
        ("diagonal", [(i, i) for i in range(SIZE)], DIAGONAL),
    ]
    for name, cells, values in lines:
        for (r, c), v in zip(cells, values):
            if image[r][c] != v:
                fails.append(f"{name}: texel ({r}, {c}) is {image[r][c]}, not {v}")
    for r in range(SIZE):
        for c in range(SIZE):
            p = profile_at(r, c)
            # A profile value this close to a half would round differently under a slightly
            # different distance computation, making the tolerance test fragile.
            if abs(p - math.floor(p) - 0.5) < 1e-6:
                fails.append(f"profile at ({r}, {c}) is {p}, too close to a rounding boundary")
            if abs(image[r][c] - round_half_up(p)) > TOLERANCE:
                fails.append(f"texel ({r}, {c}) is {image[r][c]}, profile rounds to "
                             f"{round_half_up(p)}")
    return fails


def render_cpp(image):
    out = [
        "// Generated by tools/glowgen/make_glow_image.py; edit the generator, not this file.",
        '#include "raster/raster.h"',
        "",
        "namespace nimbrelle {",
        "",
        "const uint32_t GlowImage[4096] = {",
    ]
    for r, row in enumerate(image):
        out.append(f"    // row {r}")
        for q in range(0, SIZE, 16):
            out.append("    " + " ".join(f"0x00{v:02x}{v:02x}{v:02x}," for v in row[q:q + 16]))
    out += ["};", "", "}  // namespace nimbrelle", ""]
    return "\n".join(out)


def write_png(path, image, scale=8):
    """Greyscale 8-bit PNG, each texel drawn as a scale x scale square."""
    raw = b""
    for row in image:
        line = b"\x00" + bytes(v for v in row for _ in range(scale))
        raw += line * scale

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    side = SIZE * scale
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 0, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(raw, 9))
           + chunk(b"IEND", b""))
    Path(path).write_bytes(png)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--verify", action="store_true",
                        help="do not write; fail if the committed .cpp differs")
    parser.add_argument("--png", metavar="FILE", help="also write an 8x greyscale preview")
    args = parser.parse_args()

    image, centre, nudged = build()
    fails = check(image)
    if fails:
        for f in fails:
            print("FAIL:", f, file=sys.stderr)
        return 1

    deviations = [image[r][c] - target(r, c) for r in range(SIZE) for c in range(SIZE)]
    print(f"fitted centre (row {centre[0]:.2f}, column {centre[1]:.2f}); "
          f"deviation from the rounded profile {min(deviations)}..{max(deviations)}; "
          f"{len(nudged)} texel(s) nudged for the non-zero count")

    text = render_cpp(image)
    if args.verify:
        if not OUTPUT.exists() or OUTPUT.read_text() != text:
            print(f"{OUTPUT} is out of date; rerun without --verify", file=sys.stderr)
            return 1
    else:
        OUTPUT.write_text(text)
        print(f"wrote {OUTPUT}")
    if args.png:
        write_png(args.png, image)
        print(f"wrote {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
