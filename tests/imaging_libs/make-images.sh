#!/bin/sh
# Writes the pictures the imaging library check decodes, into the folder given:
# gradient.png (64x48 RGBA), gradient.jpg (40x30) and gradient.heic (97x65, odd on purpose,
# so the decoder has to crop), all the same smooth gradient the test recomputes.
set -eu
out="$1"
mkdir -p "$out"
# Debian's interpreter, which has the imaging module scripts/deps installs.
/usr/bin/python3 - "$out" <<'PY'
import sys
from PIL import Image

def gradient(w, h, mode):
    im = Image.new(mode, (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            rgb = (x * 255 // (w - 1), y * 255 // (h - 1), 128)
            px[x, y] = rgb + ((255 - x * 255 // (w - 1)),) if mode == "RGBA" else rgb
    return im

out = sys.argv[1]
gradient(64, 48, "RGBA").save(f"{out}/gradient.png")
gradient(40, 30, "RGB").save(f"{out}/gradient.jpg", quality=95, subsampling=0)
gradient(97, 65, "RGB").save(f"{out}/heic-source.png")
PY
heif-enc -q 92 -o "$out/gradient.heic" "$out/heic-source.png" >/dev/null
rm -f "$out/heic-source.png"
