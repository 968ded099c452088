"""The SimHash of docs/hashing.md written plainly in Python: the oracle of the
native simhash_text."""

import re

MASK = (1 << 64) - 1
TOKEN = re.compile(rb"[A-Za-z0-9\x80-\xff]+")


def fmix64(h):
    h ^= h >> 33
    h = (h * 0xFF51AFD7ED558CCD) & MASK
    h ^= h >> 33
    h = (h * 0xC4CEB9FE1A85EC53) & MASK
    return h ^ (h >> 33)


def token_hash(token):
    h = 0xCBF29CE484222325
    for byte in token.lower():
        h = ((h ^ byte) * 0x100000001B3) & MASK
    return fmix64(h)


def simhash(document, shingle=3):
    """The 64-bit code of one document (bytes, without newline), as an int."""
    tokens = [token_hash(t) for t in TOKEN.findall(document)]
    windows = [tokens[s : s + shingle] for s in range(len(tokens) - shingle + 1)] or [tokens]
    hashes = []
    for window in windows:
        if window:
            h = window[0]
            for t in window[1:]:
                h = fmix64((h * 0x9E3779B97F4A7C15 + t) & MASK)
            hashes.append(h)
    return sum(1 << b for b in range(64) if 2 * sum(h >> b & 1 for h in hashes) > len(hashes))
