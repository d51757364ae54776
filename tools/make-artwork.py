#!/usr/bin/python3
"""Draws the player's artwork: the faceplate background (resource 103), the
circular badge (104), the statistics-view platter (102) and the window icon
(101). Output is deterministic: fixed seeds, fixed fonts, no time stamps.

    tools/make-artwork.py [OUTPUT_FOLDER]     (default: artwork/ of the repo)

Needs Pillow (Debian: python3-pil) and the DejaVu fonts (fonts-dejavu-core).
The build does not run this; the images it makes are committed.
"""

import math
import os
import random
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

W, H = 1458, 1023  # the design canvas
S = 2  # drawn at twice the size, then reduced, for smooth edges
FONT_DIR = "/usr/share/fonts/truetype/dejavu"


def font(size, bold=True, condensed=False):
    name = "DejaVuSans"
    if condensed:
        name += "Condensed"
    name += "-Bold.ttf" if bold else ".ttf"
    return ImageFont.truetype(os.path.join(FONT_DIR, name), int(size * S))


def box(x0, y0, x1, y1):
    return [int(round(x0 * S)), int(round(y0 * S)), int(round(x1 * S)), int(round(y1 * S))]


def brushed(width, height, base, spread, seed, streak=40):
    """Brushed metal: random values stretched along the rows into streaks."""
    rng = random.Random(seed)
    cols = max(2, width // streak)
    small = Image.frombytes("L", (cols, height), bytes(rng.randrange(256) for _ in range(cols * height)))
    noise = small.resize((width, height), Image.BILINEAR)
    # Fine grain on top of the streaks.
    fine = Image.frombytes("L", (width // 4, height), bytes(rng.randrange(256) for _ in range((width // 4) * height)))
    fine = fine.resize((width, height), Image.BILINEAR)
    noise = Image.blend(noise, fine, 0.35)
    lo = [max(0, c - spread) for c in base]
    hi = [min(255, c + spread) for c in base]
    channels = [noise.point(lambda v, a=a, b=b: a + (b - a) * v // 255) for a, b in zip(lo, hi)]
    return Image.merge("RGB", channels)


def vertical_gradient(width, height, top, bottom):
    grad = Image.new("RGB", (1, height))
    for y in range(height):
        t = y / max(1, height - 1)
        grad.putpixel((0, y), tuple(int(round(a + (b - a) * t)) for a, b in zip(top, bottom)))
    return grad.resize((width, height))


def paste_masked(dst, src, mask_box, radius, offset=(0, 0)):
    mask = Image.new("L", dst.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle(mask_box, radius=int(radius * S), fill=255)
    layer = Image.new("RGB", dst.size)
    layer.paste(src, (mask_box[0] + offset[0], mask_box[1] + offset[1]))
    dst.paste(layer, (0, 0), mask)


def recess(img, x0, y0, x1, y1, radius=10, depth=3, fill=(10, 10, 12), glass=True):
    """A panel sunk into the plate: dark lacquer or glass with a lit lower lip."""
    d = ImageDraw.Draw(img, "RGBA")
    d.rounded_rectangle(box(x0 - depth, y0 - depth, x1 + depth, y1 + depth), radius=int((radius + depth) * S),
                        fill=(0, 0, 0, 150))
    d.rounded_rectangle(box(x0 - 1, y0 - 1, x1 + 2, y1 + 2), radius=int(radius * S), fill=(120, 122, 128, 90))
    d.rounded_rectangle(box(x0, y0, x1, y1), radius=int(radius * S), fill=fill)
    if glass:
        # A faint reflection across the upper third.
        h = (y1 - y0) * 0.45
        for i in range(12):
            d.rectangle(box(x0 + radius, y0 + 2 + h * i / 12, x1 - radius, y0 + 2 + h * (i + 1) / 12),
                        fill=(255, 255, 255, max(0, 7 - i * 7 // 12)))


def raised_button(img, x0, y0, x1, y1, radius=10, seed=0, tone=(58, 60, 64)):
    """A brushed key standing proud of the plate."""
    d = ImageDraw.Draw(img, "RGBA")
    d.rounded_rectangle(box(x0 + 1, y0 + 3, x1 + 2, y1 + 5), radius=int(radius * S), fill=(0, 0, 0, 140))
    b = box(x0, y0, x1, y1)
    metal = brushed(b[2] - b[0], b[3] - b[1], tone, 10, seed, streak=24)
    shade = vertical_gradient(b[2] - b[0], b[3] - b[1], (255, 255, 255), (0, 0, 0))
    metal = Image.blend(metal, ImageChops.multiply(metal, shade), 0.35)
    paste_masked(img, metal, b, radius)
    d.rounded_rectangle(b, radius=int(radius * S), outline=(150, 153, 160, 120), width=S)
    d.line([b[0] + radius * S, b[1] + S, b[2] - radius * S, b[1] + S], fill=(255, 255, 255, 70), width=S)


def engrave(img, xy, text, size, anchor="mm", bold=True, tone=(150, 152, 158), spacing=0.0):
    """Engraved lettering: dark cut with a lit lower edge."""
    f = font(size, bold)
    if spacing:
        text = (" " * 0).join(text)
        letters = list(text)
        widths = [f.getlength(ch) for ch in letters]
        total = sum(widths) + spacing * S * (len(letters) - 1)
        x = xy[0] * S - (total / 2 if anchor[0] == "m" else 0)
        for ch, w in zip(letters, widths):
            engrave_at(img, (x, xy[1] * S), ch, f, "l" + anchor[1], tone)
            x += w + spacing * S
        return
    engrave_at(img, (xy[0] * S, xy[1] * S), text, f, anchor, tone)


def engrave_at(img, pos, text, f, anchor, tone):
    d = ImageDraw.Draw(img, "RGBA")
    x, y = pos
    d.text((x, y + S), text, font=f, anchor=anchor, fill=(255, 255, 255, 40))
    d.text((x, y - S * 0.5), text, font=f, anchor=anchor, fill=(0, 0, 0, 200))
    d.text((x, y), text, font=f, anchor=anchor, fill=tone + (255,))


def screw(img, cx, cy, r=9, angle=30):
    d = ImageDraw.Draw(img, "RGBA")
    d.ellipse(box(cx - r - 2, cy - r - 1, cx + r + 2, cy + r + 3), fill=(0, 0, 0, 150))
    for i in range(r, 0, -1):
        t = i / r
        c = int(70 + 90 * (1 - t))
        d.ellipse(box(cx - i, cy - i, cx + i, cy + i), fill=(c, c, c + 4))
    a = math.radians(angle)
    dx, dy = math.cos(a) * (r - 2), math.sin(a) * (r - 2)
    d.line(box(cx - dx, cy - dy, cx + dx, cy + dy), fill=(25, 25, 28), width=int(2.4 * S))


def faceplate():
    size = (W * S, H * S)
    img = brushed(size[0], size[1], (44, 45, 49), 9, seed=1031, streak=60)
    d = ImageDraw.Draw(img, "RGBA")

    # Soft vignette and a lacquered main field below the top bar.
    vignette = Image.new("L", size, 0)
    ImageDraw.Draw(vignette).rounded_rectangle(box(40, 30, W - 40, H - 30), radius=120 * S, fill=255)
    vignette = vignette.filter(ImageFilter.GaussianBlur(60 * S))
    img = Image.composite(img, ImageChops.multiply(img, Image.new("RGB", size, (150, 150, 156))), vignette)
    d = ImageDraw.Draw(img, "RGBA")

    # Outer chamfer.
    d.rounded_rectangle(box(4, 4, W - 4, H - 4), radius=26 * S, outline=(0, 0, 0, 200), width=3 * S)
    d.rounded_rectangle(box(7, 7, W - 7, H - 7), radius=23 * S, outline=(180, 182, 188, 70), width=S)
    # Engraved rule under the top bar and above the control deck.
    for y in (836,):
        d.line(box(24, y, W - 24, y), fill=(0, 0, 0, 170), width=S)
        d.line(box(24, y + 1, W - 24, y + 1), fill=(200, 200, 210, 45), width=S)

    # Top bar: Open, endpoint display, Refresh.
    raised_button(img, 40, 26, 242, 84, radius=12, seed=11)
    recess(img, 268, 26, 1202, 84, radius=10)
    raised_button(img, 1228, 26, 1424, 84, radius=12, seed=12)
    engrave(img, (735, 19), "OUTPUT ENDPOINT", 8.5, spacing=2.2)

    # Source block and the badge's socket.
    recess(img, 27, 92, 350, 306, radius=14, fill=(14, 14, 16))
    d = ImageDraw.Draw(img, "RGBA")
    d.ellipse(box(131, 192, 249, 310), fill=(0, 0, 0, 160))
    d.ellipse(box(134, 195, 246, 307), outline=(150, 150, 156, 90), width=S)

    # Meter windows: chrome bezels; the faces are drawn by the program.
    for x0 in (356, 781):
        d.rounded_rectangle(box(x0 - 9, 102, x0 + 336, 250), radius=20 * S, fill=(0, 0, 0, 170))
        bezel = Image.new("RGB", (345 * S, 148 * S))
        bezel.paste(vertical_gradient(345 * S, 148 * S, (196, 198, 204), (70, 72, 78)))
        paste_masked(img, bezel, box(x0 - 8, 103, x0 + 335, 249), 19)
        d = ImageDraw.Draw(img, "RGBA")
        d.rounded_rectangle(box(x0 - 2, 109, x0 + 329, 243), radius=14 * S, fill=(8, 8, 9))
    engrave(img, (732, 136), "EXACT", 9, spacing=2.0)
    engrave(img, (732, 152), "CURVE", 9, spacing=2.0)
    engrave(img, (732, 168), "PLAYBACK", 9, spacing=2.0)
    screw(img, 732, 214, r=8, angle=70)

    # Exact format row: step keys and the contract display.
    raised_button(img, 361, 259, 419, 317, radius=12, seed=21)
    raised_button(img, 1046, 259, 1104, 317, radius=12, seed=22)
    engrave(img, (390, 287), "\u2212", 30, tone=(205, 207, 212))
    engrave(img, (1075, 287), "+", 30, tone=(205, 207, 212))
    recess(img, 424, 262, 1041, 315, radius=10)
    engrave(img, (732, 253), "EXACT OUTPUT FORMAT", 8, spacing=2.0)

    # Geometry window.
    recess(img, 55, 318, 1405, 553, radius=6, depth=5, fill=(6, 6, 8))

    # Transport keys.
    for x0, x1, seed in ((430, 600, 31), (623, 803, 32), (825, 1030, 33)):
        raised_button(img, x0, 561, x1, 618, radius=12, seed=seed)

    # Seek scale: groove, ticks and figures.
    engrave(img, (122, 649), "POSITION", 10, spacing=1.6)
    d = ImageDraw.Draw(img, "RGBA")
    d.rounded_rectangle(box(222, 645, 1203, 653), radius=4 * S, fill=(0, 0, 0, 200))
    d.line(box(224, 653, 1201, 653), fill=(200, 200, 210, 60), width=S)
    for i in range(41):
        x = 226 + 973 * i / 40
        major = i % 10 == 0
        d.line(box(x, 634 if major else 638, x, 642), fill=(170, 172, 178, 220 if major else 140), width=S)
        if major:
            engrave(img, (x, 627), "%d%%" % (i * 100 // 40) if i else "0", 8, bold=False)
    # Output level track under the seek scale.
    engrave(img, (122, 684), "LEVEL", 10, spacing=1.6)
    d = ImageDraw.Draw(img, "RGBA")
    d.rounded_rectangle(box(213, 680, 1217, 688), radius=4 * S, fill=(0, 0, 0, 190))
    for i in range(11):
        x = 215 + 100 * i
        d.line(box(x, 690, x, 694), fill=(150, 152, 158, 150), width=S)

    # Mute key.
    raised_button(img, 1236, 628, 1429, 686, radius=12, seed=41)

    # Volume knob with its scale and the cue button at its centre.
    cx, cy = 1308, 202
    for i in range(28):
        a = math.radians(-135 + 270 * i / 27 - 90)
        r0, r1 = (66, 76) if i % 3 == 0 else (68, 73)
        d.line(box(cx + r0 * math.cos(a), cy + r0 * math.sin(a), cx + r1 * math.cos(a), cy + r1 * math.sin(a)),
               fill=(175, 177, 183, 220), width=S)
    d.ellipse(box(cx - 60, cy - 57, cx + 62, cy + 65), fill=(0, 0, 0, 170))
    knob = Image.new("RGB", (120 * S, 120 * S))
    kd = ImageDraw.Draw(knob)
    for k in range(360):
        # Conic brushing: light bands where a lamp above would catch it.
        shade = int(92 + 46 * math.cos(math.radians(2 * k + 40)) + 18 * math.cos(math.radians(6 * k)))
        kd.pieslice([0, 0, 120 * S, 120 * S], k - 90, k - 89 + 1, fill=(shade, shade, shade + 5))
    mask = Image.new("L", knob.size, 0)
    ImageDraw.Draw(mask).ellipse([0, 0, 120 * S - 1, 120 * S - 1], fill=255)
    img.paste(knob, (int((cx - 60) * S), int((cy - 60) * S)), mask)
    d = ImageDraw.Draw(img, "RGBA")
    d.ellipse(box(cx - 60, cy - 60, cx + 60, cy + 60), outline=(220, 222, 228, 120), width=S)
    d.ellipse(box(cx - 33, cy - 32, cx + 33, cy + 34), fill=(0, 0, 0, 170))
    d.ellipse(box(cx - 30, cy - 30, cx + 30, cy + 30), fill=(30, 30, 33))
    d.ellipse(box(cx - 27, cy - 27, cx + 27, cy + 27), fill=(44, 44, 48), outline=(110, 112, 118, 160), width=S)
    engrave(img, (cx, cy), "CUE", 11, tone=(190, 192, 198))
    engrave(img, (cx, 292), "OUTPUT LEVEL", 8, spacing=1.8)

    # Lower display.
    recess(img, 125, 697, 1330, 826, radius=12, fill=(9, 9, 11))

    # Control deck: power, needle lift, status window, maker's line.
    d = ImageDraw.Draw(img, "RGBA")
    pcx, pcy = 93, 900
    d.ellipse(box(pcx - 48, pcy - 46, pcx + 50, pcy + 52), fill=(0, 0, 0, 170))
    d.ellipse(box(pcx - 46, pcy - 46, pcx + 46, pcy + 46), fill=(70, 72, 78), outline=(170, 172, 178, 140), width=S)
    d.ellipse(box(pcx - 38, pcy - 38, pcx + 38, pcy + 38), fill=(36, 36, 40))
    d.arc(box(pcx - 16, pcy - 16, pcx + 16, pcy + 16), -60, 240, fill=(150, 152, 158), width=int(3.2 * S))
    d.line(box(pcx, pcy - 22, pcx, pcy - 4), fill=(150, 152, 158), width=int(3.2 * S))
    engrave(img, (pcx, 960), "POWER", 9, spacing=1.8)

    engrave(img, (295, 856), "NEEDLE LIFT", 9, spacing=1.8)
    recess(img, 202, 897, 388, 915, radius=9, fill=(5, 5, 6), glass=False)
    engrave(img, (212, 940), "DOWN", 8)
    engrave(img, (378, 940), "UP", 8)

    recess(img, 440, 852, 1430, 972, radius=12, fill=(9, 9, 11))
    engrave(img, (935, 997), "AURALITH  \u00b7  EXACT CONTRACT TURNTABLE", 10, spacing=1.4, tone=(120, 122, 128))

    for sx, sy in ((22, 22), (W - 22, 22), (22, H - 22), (W - 22, H - 22)):
        screw(img, sx, sy, angle=(sx * 7 + sy * 3) % 180)

    return img.resize((W, H), Image.LANCZOS)


def record(size, seed, label_colour, label_text=True):
    """A vinyl disc seen from above, with its warm centre label."""
    n = size * S
    img = Image.new("RGBA", (n, n), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    c = n / 2
    d.ellipse([0, 0, n - 1, n - 1], fill=(12, 12, 14, 255))
    rng = random.Random(seed)
    for i in range(int(c * 0.98), int(c * 0.36), -max(1, S)):
        v = 14 + rng.randrange(10)
        d.ellipse([c - i, c - i, c + i, c + i], outline=(v, v, v + 2, 255), width=1)
    # Two soft sheens where light falls across the grooves.
    sheen = Image.new("L", (n, n), 0)
    sd = ImageDraw.Draw(sheen)
    sd.pieslice([0, 0, n - 1, n - 1], 200, 250, fill=70)
    sd.pieslice([0, 0, n - 1, n - 1], 20, 70, fill=55)
    sheen = sheen.filter(ImageFilter.GaussianBlur(n / 18))
    disc = Image.new("L", (n, n), 0)
    ImageDraw.Draw(disc).ellipse([0, 0, n - 1, n - 1], fill=255)
    sheen = ImageChops.multiply(sheen, disc)
    img = Image.composite(Image.new("RGBA", (n, n), (235, 225, 205, 255)), img,
                          sheen.point(lambda v: v * 2 // 5))
    img.putalpha(disc)
    d = ImageDraw.Draw(img)
    r = c * 0.34
    d.ellipse([c - r, c - r, c + r, c + r], fill=label_colour + (255,))
    lr = r * 0.93
    d.ellipse([c - lr, c - lr, c + lr, c + lr], outline=(255, 236, 200, 140), width=max(1, n // 400))
    if label_text:
        f = ImageFont.truetype(os.path.join(FONT_DIR, "DejaVuSerif-Bold.ttf"), int(r * 0.42))
        d.text((c, c - r * 0.42), "A", font=f, anchor="mm", fill=(255, 238, 205, 255))
        f2 = ImageFont.truetype(os.path.join(FONT_DIR, "DejaVuSans-Bold.ttf"), int(r * 0.13))
        d.text((c, c + r * 0.38), "AURALITH", font=f2, anchor="mm", fill=(255, 238, 205, 230))
        d.text((c, c + r * 0.58), "EXACT CONTRACT", font=f2, anchor="mm", fill=(255, 238, 205, 170))
    hole = r * 0.07
    d.ellipse([c - hole, c - hole, c + hole, c + hole], fill=(190, 192, 198, 255))
    return img.resize((size, size), Image.LANCZOS)


def badge(size=128):
    """A brass medallion with the maker's A, for the faceplate's round socket."""
    n = size * S
    img = Image.new("RGBA", (n, n), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    c = n / 2
    for i in range(int(c), 0, -1):
        t = i / c
        if t > 0.86:  # bevelled brass rim
            k = (t - 0.86) / 0.14
            col = (int(222 - 90 * k), int(178 - 80 * k), int(96 - 50 * k))
        else:  # lacquered dark field with fine rings
            v = 20 + (6 if int(i / S) % 3 == 0 else 0)
            col = (v + 4, v, v - 2)
        d.ellipse([c - i, c - i, c + i, c + i], fill=col + (255,))
    f = ImageFont.truetype(os.path.join(FONT_DIR, "DejaVuSerif-Bold.ttf"), int(n * 0.5))
    d.text((c + S, c + S * 2), "A", font=f, anchor="mm", fill=(0, 0, 0, 200))
    d.text((c, c), "A", font=f, anchor="mm", fill=(230, 186, 104, 255))
    f2 = ImageFont.truetype(os.path.join(FONT_DIR, "DejaVuSans-Bold.ttf"), int(n * 0.075))
    d.text((c, c + n * 0.32), "AURALITH", font=f2, anchor="mm", fill=(200, 160, 90, 255))
    return img.resize((size, size), Image.LANCZOS)


def icon():
    # A record with a brass rim; small sizes drop the fine lettering.
    big = record(256, seed=101, label_colour=(176, 104, 40))
    small = record(32, seed=101, label_colour=(196, 120, 44), label_text=False)
    return big, small


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "artwork")
    os.makedirs(out, exist_ok=True)
    faceplate().save(os.path.join(out, "faceplate.png"), optimize=False)
    badge().save(os.path.join(out, "badge.png"), optimize=False)
    platter = record(1024, seed=102, label_colour=(150, 82, 30))
    platter.save(os.path.join(out, "platter.png"), optimize=False)
    big, _ = icon()
    big.save(os.path.join(out, "auralith.ico"), sizes=[(16, 16), (24, 24), (32, 32), (48, 48), (256, 256)])


if __name__ == "__main__":
    main()
