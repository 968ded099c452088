"""Near-duplicate images by perceptual hash and the bit-level self-join.

Makes its own image collection in a temporary directory: original pictures of
random shapes, a line of text and noise, plus edited copies of some of them
(resized, cropped, recompressed as JPEG, or all three). Every file is read back
and hashed with imagehash's 64-bit pHash, the codes are joined with
find_pairs_self_bit at Hamming distance k, and the pairs are merged into
groups. Since the script knows which file came from which original, it prints
the precision and recall of the pairs found, and checks the join against a
brute-force comparison of every pair of codes.

    pip install -r examples/requirements.txt
    python examples/image_near_duplicates.py [--originals 150] [--k 12] [--show 5]
"""

from __future__ import annotations

import argparse
import io
import tempfile
import time
from pathlib import Path

import imagehash
import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

from brimel_native import find_pairs_self_bit

SIZE = 256
WORDS = [
    "harbour",
    "meadow",
    "quartz",
    "lantern",
    "orbit",
    "saffron",
    "glacier",
    "cobalt",
    "thistle",
    "ember",
    "willow",
    "canyon",
    "falcon",
    "juniper",
    "marble",
    "nectar",
]
EDITS = ["resized", "cropped", "recompressed", "all three"]


def original(rng: np.random.Generator) -> Image.Image:
    """A picture of random shapes over a gradient, one line of text, and noise."""
    top, bottom = rng.integers(0, 256, 3), rng.integers(0, 256, 3)
    ramp = np.linspace(0.0, 1.0, SIZE)[:, None, None]
    pixels = (top * (1 - ramp) + bottom * ramp).repeat(SIZE, axis=1)
    image = Image.fromarray(pixels.astype(np.uint8), "RGB")
    draw = ImageDraw.Draw(image)
    for _ in range(int(rng.integers(4, 9))):
        x0, y0 = rng.integers(-40, SIZE, 2)
        w, h = rng.integers(30, 140, 2)
        color = tuple(int(c) for c in rng.integers(0, 256, 3))
        shape = rng.integers(3)
        if shape == 0:
            draw.ellipse([x0, y0, x0 + w, y0 + h], fill=color)
        elif shape == 1:
            draw.rectangle([x0, y0, x0 + w, y0 + h], fill=color)
        else:
            points = [(int(x), int(y)) for x, y in rng.integers(-20, SIZE + 20, (3, 2))]
            draw.polygon(points, fill=color)
    font = ImageFont.load_default(size=int(rng.integers(22, 40)))
    text = f"{rng.choice(WORDS)} {int(rng.integers(100, 1000))}"
    ink = tuple(int(c) for c in rng.integers(0, 256, 3))
    draw.text((int(rng.integers(5, 90)), int(rng.integers(5, SIZE - 50))), text, fill=ink, font=font)
    noisy = np.asarray(image, dtype=np.float64) + rng.normal(0.0, 12.0, (SIZE, SIZE, 3))
    return Image.fromarray(np.clip(noisy, 0, 255).astype(np.uint8), "RGB")


def jpeg(image: Image.Image, quality: int) -> Image.Image:
    buffer = io.BytesIO()
    image.save(buffer, format="JPEG", quality=quality)
    buffer.seek(0)
    return Image.open(buffer).convert("RGB")


def edited(image: Image.Image, edit: str, rng: np.random.Generator) -> Image.Image:
    """A copy of `image` as a user might re-post it."""
    if edit in ("cropped", "all three"):
        # Trim 2-6 % off each side, keeping most of the picture.
        left, top, right, bottom = (int(SIZE * f) for f in rng.uniform(0.02, 0.06, 4))
        image = image.crop((left, top, SIZE - right, SIZE - bottom))
    if edit in ("resized", "all three"):
        scale = rng.uniform(0.4, 1.6)
        image = image.resize(
            (max(16, int(image.width * scale)), max(16, int(image.height * scale))), Image.Resampling.LANCZOS
        )
    if edit in ("recompressed", "all three"):
        image = jpeg(image.filter(ImageFilter.SMOOTH), int(rng.integers(15, 50)))
    return image


def make_collection(folder: Path, originals: int, copies: int, seed: int) -> list[int]:
    """Writes the images into `folder`; returns the original of each file, by file order."""
    rng = np.random.default_rng(seed)
    source: list[int] = []
    for o in range(originals):
        picture = original(rng)
        picture.save(folder / f"{len(source):05d}-original-{o}.png")
        source.append(o)
        # Two originals in three get edited copies; the rest stay alone.
        if o % 3 != 2:
            for c in range(copies):
                edit = EDITS[(o + c) % len(EDITS)]
                suffix = "jpg" if edit in ("recompressed", "all three") else "png"
                copy = edited(picture, edit, rng)
                copy.save(folder / f"{len(source):05d}-{edit.replace(' ', '-')}-of-{o}.{suffix}")
                source.append(o)
    return source


def phash_codes(files: list[Path]) -> np.ndarray:
    """64-bit pHash of each file as an (n, 8) uint8 code matrix.

    np.packbits puts the hash's first bit in the most significant bit of
    byte 0, which is bit 0 of a code for the bit-level joins."""
    codes = np.empty((len(files), 8), dtype=np.uint8)
    for row, path in enumerate(files):
        with Image.open(path) as image:
            codes[row] = np.packbits(imagehash.phash(image).hash.flatten())
    return codes


def groups_of(n: int, pairs: list[tuple[int, int, int]]) -> list[list[int]]:
    """Connected groups of the pairs (union-find), each of two or more rows."""
    parent = list(range(n))

    def root(x: int) -> int:
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for i, j, _ in pairs:
        parent[root(i)] = root(j)
    members: dict[int, list[int]] = {}
    for x in range(n):
        members.setdefault(root(x), []).append(x)
    return sorted((g for g in members.values() if len(g) > 1), key=lambda g: g[0])


def all_distances(codes: np.ndarray) -> np.ndarray:
    """(n, n) Hamming distances by brute force, for checking the join."""
    bits = np.unpackbits(codes, axis=1)
    distances: np.ndarray = (bits[:, None, :] != bits[None, :, :]).sum(axis=2)
    return distances


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--originals", type=int, default=150, help="original pictures to make")
    parser.add_argument("--copies", type=int, default=3, help="edited copies of each copied original")
    parser.add_argument("--k", type=int, default=12, help="largest Hamming distance of a near-duplicate")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--show", type=int, default=5, help="groups to print")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="brimel-images-") as tmp:
        folder = Path(tmp)
        t0 = time.perf_counter()
        source = make_collection(folder, args.originals, args.copies, args.seed)
        files = sorted(folder.iterdir())
        t1 = time.perf_counter()
        codes = phash_codes(files)
        t2 = time.perf_counter()
        pairs = find_pairs_self_bit(codes, args.k)
        t3 = time.perf_counter()
        names = [f.name for f in files]

    groups = groups_of(len(codes), pairs)
    true_pairs = {
        (i, j) for i in range(len(source)) for j in range(i + 1, len(source)) if source[i] == source[j]
    }
    found = {(i, j) for i, j, _ in pairs}
    hits = len(found & true_pairs)
    precision = hits / len(found) if found else 1.0
    recall = hits / len(true_pairs) if true_pairs else 1.0
    distances = all_distances(codes)
    rows, cols = np.nonzero(np.triu(distances <= args.k, 1))
    brute = [(int(i), int(j), int(distances[i, j])) for i, j in zip(rows, cols)]
    beyond_k = sorted(int(distances[i, j]) for i, j in true_pairs - found)
    exact_groups = sum(
        1 for g in groups if len({source[x] for x in g}) == 1 and len(g) == source.count(source[g[0]])
    )
    planted = len({o for o in source if source.count(o) > 1})

    print(
        f"images:    {len(files)} ({args.originals} originals, {len(files) - args.originals} edited copies)"
    )
    print(f"codes:     64-bit pHash, pairs within distance {args.k}: {len(pairs)}")
    print(
        f"pairs:     precision {precision:.3f}, recall {recall:.3f} "
        f"({hits} of {len(true_pairs)} planted pairs found, {len(found) - hits} spurious)"
    )
    print(f"groups:    {len(groups)} found, {exact_groups} of {planted} planted groups found exactly")
    if beyond_k:
        print(
            f"missed:    {len(beyond_k)} planted pairs, pHash distance {beyond_k[0]} to {beyond_k[-1]}"
            f" (> k: the edit moved the hash too far)"
        )
    print(f"exactness: brute force over all pairs agrees: {'yes' if brute == pairs else 'NO'}")
    for g in groups[: args.show]:
        print("  " + ", ".join(names[x] for x in g))
    print("timings:")
    print(f"  make images          {t1 - t0:7.3f} s")
    print(f"  read and pHash       {t2 - t1:7.3f} s")
    print(f"  find_pairs_self_bit  {t3 - t2:7.3f} s")


if __name__ == "__main__":
    main()
