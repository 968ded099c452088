"""The input adapters and the `brimel` command line: every input form gives the
same codes, results match the library's, and bad input exits with a message.
The adapters' refusals are in test_entry_points.py."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from support import planted

from brimel_native import find_groups, find_pairs, from_hex, from_uint64, pack_bits
from brimel_native.cli import main

CODES = planted(300, 8, 4, "skewed", seed=3)[0]
HEX = [row.tobytes().hex() for row in CODES]


def test_adapters_agree_on_bit_order():
    as_int = CODES.view(">u8").ravel()
    assert np.array_equal(from_hex([h.upper() for h in HEX], d_bytes=8), CODES)
    assert np.array_equal(from_uint64(as_int.astype(np.uint64).view(np.int64)), CODES)
    assert np.array_equal(from_uint64([int(v) - 2**64 if v >= 2**63 else int(v) for v in as_int]), CODES)
    assert np.array_equal(pack_bits(np.unpackbits(CODES, axis=1).astype(int)), CODES)
    assert np.array_equal(pack_bits(np.ones((2, 3), bool)), [[0xE0], [0xE0]])
    assert from_hex([], d_bytes=32).shape == (0, 32)


def write_input(tmp_path, form):
    path = tmp_path / f"codes.{form.split('-')[0]}"
    if form == "txt":  # CRLF endings, blank lines and spaces are tolerated
        path.write_bytes(
            b"\r\n".join(b" " + h.encode() for h in HEX[:100]) + b"\r\n\r\n" + "\n".join(HEX[100:]).encode()
        )
    elif form == "npy":
        np.save(path, CODES)
    elif form == "npy-int":
        np.save(path, CODES.view(">u8").ravel().astype(np.uint64))
    elif form == "npy-bool":
        np.save(path, np.unpackbits(CODES, axis=1).astype(bool))
    else:
        pa = pytest.importorskip("pyarrow")
        import pyarrow.parquet as pq

        values = {"parquet-hex": HEX, "parquet-bytes": [r.tobytes() for r in CODES]}
        column = values.get(form, pa.array(CODES.view(">u8").ravel().astype(np.uint64)))
        pq.write_table(pa.table({"hash": column}), path)
    return str(path)


@pytest.mark.parametrize(
    "form", ["txt", "npy", "npy-int", "npy-bool", "parquet-hex", "parquet-bytes", "parquet-int"]
)
def test_every_input_form_gives_the_library_result(tmp_path, form, capsys):
    source = write_input(tmp_path, form)
    assert main(["pairs", source, "-k", "4", "--no-progress"]) == 0
    found = np.loadtxt(capsys.readouterr().out.splitlines()[1:], delimiter=",", dtype=np.int64, ndmin=2)
    expected = find_pairs(CODES, 4)
    assert np.array_equal(found, np.column_stack(expected)) and len(found) > 0


@pytest.mark.parametrize("suffix", ["csv", "npy", "parquet"])
def test_outputs(tmp_path, suffix):
    if suffix == "parquet":
        pq = pytest.importorskip("pyarrow.parquet")
    source, out = write_input(tmp_path, "npy"), str(tmp_path / f"out.{suffix}")
    half = str(tmp_path / "half.npy")
    np.save(half, CODES[:120])
    assert main(["groups", source, "-k", "4", "-o", out]) == 0
    assert main(["pairs", half, "--against", source, "-k", "3", "-o", out + ".pairs." + suffix]) == 0
    read = {
        "csv": lambda p: np.genfromtxt(p, delimiter=",", names=True, dtype=np.int64),
        "npy": np.load,
        "parquet": lambda p: pq.read_table(p).to_pydict(),
    }[suffix]
    assert np.array_equal(read(out)["group"], find_groups(CODES, 4))
    pairs, expected = read(out + ".pairs." + suffix), find_pairs(CODES[:120], 3, CODES)
    assert all(np.array_equal(pairs[name], expected[n]) for n, name in enumerate(("i", "j", "distance")))


@pytest.mark.parametrize(
    "args, status, text",
    [
        (["pairs", "missing.npy", "-k", "3"], 1, "missing.npy: No such file"),
        (["pairs", "{bad}", "-k", "3"], 1, "line 3 is not hex: '00zz"),
        (["pairs", "{ok}", "-k", "64"], 2, "not below the code width (64 bits)"),
        (["pairs", "{ok}", "-k", "-1"], 2, "must be a non-negative integer"),
        (["pairs", "{ok}", "-k", "3", "-o", "x.json"], 1, "unknown output format '.json'"),
    ],
)
def test_errors_exit_with_a_message(tmp_path, capsys, args, status, text):
    (tmp_path / "bad.txt").write_text("0011223344556677\n0011223344556677\n00zz223344556677\n")
    np.save(tmp_path / "ok.npy", CODES)
    args = [a.format(bad=tmp_path / "bad.txt", ok=tmp_path / "ok.npy") for a in args]
    if status == 2:
        with pytest.raises(SystemExit) as exited:
            main(args)
        assert exited.value.code == 2
    else:
        assert main(args) == status
    assert text in capsys.readouterr().err


def test_console_script_and_module_run(tmp_path):
    source = write_input(tmp_path, "txt")
    for command in ([sys.executable, "-m", "brimel_native"], [str(Path(sys.executable).with_name("brimel"))]):
        done = subprocess.run([*command, "groups", source, "-k", "4"], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        labels = np.loadtxt(done.stdout.splitlines()[1:], delimiter=",", dtype=np.int64)[:, 1]
        assert np.array_equal(labels, find_groups(CODES, 4)) and "groups" in done.stderr
