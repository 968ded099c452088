"""The input adapters and the `brimel` command line: every input form gives the
same codes, results match the library's (named by ids where the input has
them), bad input exits with one line and a status, and no failure loses a
file. The adapters' refusals are in test_entry_points.py."""

import csv
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from support import planted

from brimel_native import _files, find_groups, find_pairs, from_hex, from_uint64, pack_bits
from brimel_native.cli import main

CODES = planted(300, 8, 4, "skewed", seed=3)[0]
HEX = [row.tobytes().hex() for row in CODES]
BRIMEL = [sys.executable, "-m", "brimel_native"]


def test_adapters_agree_on_bit_order():
    as_int = CODES.view(">u8").ravel()
    assert np.array_equal(from_hex([h.upper() for h in HEX], d_bytes=8), CODES)
    assert np.array_equal(from_uint64(as_int.astype(np.uint64).view(np.int64)), CODES)
    assert np.array_equal(from_uint64([int(v) - 2**64 if v >= 2**63 else int(v) for v in as_int]), CODES)
    assert np.array_equal(pack_bits(np.unpackbits(CODES, axis=1).astype(int)), CODES)
    assert np.array_equal(pack_bits(np.ones((2, 3), bool)), [[0xE0], [0xE0]])
    assert from_hex([], d_bytes=32).shape == (0, 32)


def write_input(tmp_path, form):
    """The codes in `form`, and the name of each row in the results."""
    path = tmp_path / f"codes.{form.split('-')[0]}"
    rows = np.arange(len(HEX))
    if form == "txt":  # BOM, header, comment, CRLF, blank line, tabs, 0x: names are line numbers
        lines = ["\ufeffhash", "# made by a test"] + [
            ("\t0x" if r % 2 else "  ") + h + " \t" for r, h in enumerate(HEX)
        ]
        lines.insert(102, "")
        path.write_bytes("\r\n".join(lines).encode())
        return str(path), rows + 3 + (rows >= 100)
    if form == "txt-plain":
        path.write_text("".join(h + "\n" for h in HEX))
        return str(path), rows + 1
    if form == "csv":  # a named column beside the ids, quoted where needed
        path.write_text("path,hash\n" + "".join(f'"a,""{r}",{h}\n' for r, h in enumerate(HEX)))
        return str(path), np.array([f'a,"{r}' for r in rows], dtype=object)
    if form == "txt-csv":  # path,hash lines without a header: columns 1 and 2
        path.write_text("".join(f"f{r}.png,{h}\n" for r, h in enumerate(HEX)))
        return str(path), np.array([f"f{r}.png" for r in rows], dtype=object)
    if form == "npy":
        np.save(path, CODES)
    elif form == "npy-int":
        np.save(path, CODES.view(">u8").ravel().astype(np.uint64))
    elif form == "npy-bool":
        np.save(path, np.unpackbits(CODES, axis=1).astype(bool))
    else:
        pa = pytest.importorskip("pyarrow")
        import pyarrow.parquet as pq

        values = {
            "parquet-hex": pa.array(HEX).dictionary_encode(),
            "parquet-bytes": [r.tobytes() for r in CODES],
            "parquet-int": pa.array(CODES.view(">u8").ravel().astype(np.uint64)),
        }[form]
        pq.write_table(pa.table({"hash": values}), path)
    return str(path), None


FORMS = [
    "txt",
    "txt-plain",
    "csv",
    "npy",
    "npy-int",
    "npy-bool",
    "parquet-hex",
    "parquet-bytes",
    "parquet-int",
]


@pytest.mark.parametrize("form", FORMS)
def test_every_input_form_gives_the_library_result(tmp_path, form, capsys):
    source, names = write_input(tmp_path, form)
    ids = {"csv": ["--id-column", "path"], "txt-csv": ["--id-column", "1"]}.get(form, [])
    assert main(["pairs", source, "-k", "4", "--no-progress", *ids]) == 0
    found = list(csv.reader(capsys.readouterr().out.splitlines()))
    expected = find_pairs(CODES, 4)
    if names is None:
        assert found[0] == ["i", "j", "distance"]
        names = np.arange(len(HEX))
    else:
        assert found[0] == ["id_a", "id_b", "distance"]
    assert found[1:] == [[str(names[i]), str(names[j]), str(d)] for i, j, d in zip(*expected)]
    assert len(found) > 1


@pytest.mark.parametrize("suffix", ["csv", "npy", "parquet"])
def test_outputs(tmp_path, suffix):
    if suffix == "parquet":
        pq = pytest.importorskip("pyarrow.parquet")
    source, out = write_input(tmp_path, "npy")[0], str(tmp_path / f"out.{suffix}")
    half = str(tmp_path / "half.npy")
    np.save(half, CODES[:120])
    assert main(["groups", source, "-k", "4", "-o", out]) == 0
    assert main(["pairs", half, "--against", source, "-k", "3", "-o", out + ".pairs." + suffix]) == 0
    read = {
        "csv": lambda p: np.genfromtxt(p, delimiter=",", names=True, dtype=np.int64),
        "npy": np.load,
        "parquet": lambda p: pq.read_table(p).to_pydict(),
    }[suffix]
    labels = find_groups(CODES, 4)
    assert np.array_equal(read(out)["group"], labels)
    assert np.array_equal(read(out)["keep"], labels == np.arange(len(labels)))
    pairs, expected = read(out + ".pairs." + suffix), find_pairs(CODES[:120], 3, CODES)
    assert all(np.array_equal(pairs[name], expected[n]) for n, name in enumerate(("i", "j", "distance")))


def test_ids_per_input_and_degenerate_codes(tmp_path, capsys):
    """A binary column `h` with integer ids against a string column `pdq` with path ids."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    codes = planted(300, 8, 4, "random", seed=3)[0]
    codes[[10, 20]] = 0  # two blank images: degenerate, and within k of each other
    paths = np.array([f"img/{r}.jpg" for r in range(len(codes))], dtype=object)
    pq.write_table(
        pa.table({"key": np.arange(100, 160), "h": [r.tobytes() for r in codes[:60]]}), tmp_path / "a.pq"
    )
    pq.write_table(pa.table({"path": paths, "pdq": [r.tobytes().hex() for r in codes]}), tmp_path / "b.pq")
    out = tmp_path / "pairs.csv"
    args = [
        "pairs",
        str(tmp_path / "a.pq"),
        "--column",
        "h",
        "--id-column",
        "key",
        "--against",
        str(tmp_path / "b.pq"),
    ]
    args += ["--against-column", "pdq", "--against-id-column", "path", "-k", "4", "-o", str(out)]
    for skip in ([], ["--skip-degenerate"]):
        assert main(args + skip) == 0
        expected = find_pairs(codes[:60], 4, codes).with_ids(np.arange(100, 160), paths)
        kept = ~((expected.id_a == 110) | (expected.id_a == 120)) if skip else slice(None)
        rows = [[str(a), b, str(d)] for a, b, d in zip(*(c[kept] for c in expected))]
        assert list(csv.reader(out.open()))[1:] == rows
        err = capsys.readouterr().err
        assert "a.pq: 2 codes with at most 4 bits set or unset (110, 120)" in err
        assert ("left out" in err) == bool(skip)


BAD_INPUTS = {
    "bad.txt": b"0011223344556677\n0011223344556677\n00zz223344556677\n",
    "odd.txt": b"001122334\n",
    "short.txt": b"0011223344556677\n00112233445566\n",
    "fields.csv": b"path,pdq\na,0011223344556677\nb\n",
    "two.csv": b"a,b,c\n1,2,3\n",
    "zip.npy": b"PK\x03\x04" + bytes(40),
    "junk.npy": b"not an array at all",
    "narrow.npy": None,  # 4-byte codes
    "objects.npy": None,
}


def make_bad_inputs(tmp_path):
    for name, data in BAD_INPUTS.items():
        if data is not None:
            (tmp_path / name).write_bytes(data)
    np.save(tmp_path / "ok.npy", CODES)
    np.save(tmp_path / "narrow.npy", CODES[:, :4])
    np.save(tmp_path / "objects.npy", np.array([{}], dtype=object), allow_pickle=True)
    data = (tmp_path / "ok.npy").read_bytes()
    (tmp_path / "cut.npy").write_bytes(data[: len(data) - 100])  # as if truncated while read
    (tmp_path / "dir").mkdir()
    try:
        pa = __import__("pyarrow")
        __import__("pyarrow.parquet").parquet.write_table(
            pa.table({"h": pa.array([], pa.binary()), "x": pa.array([], pa.int64())}), tmp_path / "empty.pq"
        )
    except ImportError:
        pass


@pytest.mark.parametrize(
    "args, status, text",
    [
        (["pairs", "missing.npy", "-k", "3"], 1, "missing.npy: No such file or directory"),
        (["pairs", "bad.txt", "-k", "3"], 1, "bad.txt: line 3 is not hex: '00zz223344556677'"),
        (["pairs", "odd.txt", "-k", "3"], 1, "odd.txt: line 1 has an odd number of hex digits (9)"),
        (["pairs", "short.txt", "-k", "3"], 1, "short.txt: line 2 has 14 hex digits, line 1 has 16"),
        (
            ["pairs", "fields.csv", "--column", "pdq", "-k", "3"],
            1,
            "fields.csv: line 3 has 1 fields, the header 2",
        ),
        (["pairs", "two.csv", "-k", "3"], 1, "two.csv: has columns a, b, c; choose the codes with --column"),
        (["pairs", "two.csv", "--column", "z", "-k", "3"], 1, "two.csv: no column 'z' (columns: a, b, c)"),
        (
            ["pairs", "zip.npy", "-k", "3"],
            1,
            "zip.npy: a .npz archive of arrays; save one array with numpy.save",
        ),
        (["pairs", "junk.npy", "-k", "3"], 1, "junk.npy: not a NumPy .npy array file"),
        (["pairs", "objects.npy", "-k", "3"], 1, "objects.npy: holds Python objects (object)"),
        (
            ["pairs", "cut.npy", "-k", "3"],
            1,
            "cut.npy: its header declares 2400 bytes of data, the file holds 2300",
        ),
        (["pairs", "empty.pq", "--column", "h", "-k", "3"], 1, "empty.pq column 'h': no codes"),
        (["pairs", "/dev/zero", "-k", "3"], 1, "/dev/zero: holds a NUL byte at byte 0: not text"),
        (["pairs", "dir", "-k", "3"], 1, "dir: Is a directory"),
        (
            ["pairs", "ok.npy", "--against", "narrow.npy", "-k", "3"],
            1,
            "narrow.npy: codes of 4 bytes, ok.npy has 8",
        ),
        (["pairs", "ok.npy", "-k", "3", "-o", "x.json"], 1, "x.json: unknown output format '.json'"),
        (["pairs", "ok.npy", "-k", "3", "-o", "no/x.csv"], 1, "no/x.csv: cannot write in"),
        (["pairs", "ok.npy", "-k", "3", "-o", "dir"], 1, "dir: Is a directory"),
        (["pairs", "ok.npy", "-k", "3", "-o", "ok.npy"], 1, "ok.npy: is also an input (ok.npy)"),
        (["groups", "ok.npy", "-k", "3", "-o", "/dev/full"], 1, "/dev/full: No space left on device"),
        (["pairs", "ok.npy", "-k", "64"], 2, "not below the code width (64 bits)"),
        (["pairs", "ok.npy", "-k", "-1"], 2, "must be a non-negative integer"),
        (["hash", "text", "bad.txt", "--shingle", "0", "-o", "x.csv"], 2, "must be an integer >= 1, not '0'"),
        (["hash", "images", "ok.npy", "-o", "x.csv"], 1, "ok.npy: not a folder"),
        (["hash", "text", "/dev/zero", "-o", "x.csv"], 1, "/dev/zero: holds a NUL byte at byte 0"),
    ],
)
def test_bad_command_lines_exit_with_one_line(tmp_path, args, status, text):
    make_bad_inputs(tmp_path)
    if "empty.pq" in args:
        pytest.importorskip("pyarrow")
    before = (tmp_path / "ok.npy").read_bytes()
    done = subprocess.run(BRIMEL + args, capture_output=True, text=True, cwd=tmp_path, timeout=120)
    said = (done.returncode, done.stdout, done.stderr)
    assert done.returncode == status and text in done.stderr and done.stdout == "", said
    assert "Traceback" not in done.stderr, said
    if status == 1:  # one line: the error (a warning may come before it)
        assert done.stderr.strip().splitlines()[-1].startswith("brimel: error: "), said
    assert (tmp_path / "ok.npy").read_bytes() == before
    assert not list(tmp_path.glob(".*.tmp"))  # no temporary file left behind


def test_closed_pipe_exits_quietly(tmp_path):
    np.save(tmp_path / "same.npy", np.zeros((2000, 8), np.uint8) + np.uint8(0x55))  # 2 million pairs
    with subprocess.Popen(
        BRIMEL + ["pairs", "same.npy", "-k", "0"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as run:
        assert run.stdout.readline() == b"i,j,distance\n"
        run.stdout.close()
        assert run.wait(timeout=120) == 0
        assert run.stderr.read() == b""
    for redirect, message in (
        (">&-", "standard output is closed"),
        ("> /dev/full", "No space left on device"),
    ):
        closed = subprocess.run(
            ["sh", "-c", f'"$@" {redirect}', "sh", *BRIMEL, "groups", "same.npy", "-k", "0"],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert closed.returncode == 1 and f"<stdout>: {message}" in closed.stderr, closed.stderr


def test_an_interrupted_write_keeps_the_previous_file(tmp_path, monkeypatch, capsys):
    np.save(tmp_path / "ok.npy", CODES)
    out = tmp_path / "pairs.csv"
    out.write_text("previous\n")

    def interrupted(values):
        raise KeyboardInterrupt

    monkeypatch.setattr(_files, "_digits", interrupted)
    assert main(["pairs", str(tmp_path / "ok.npy"), "-k", "4", "-o", str(out)]) == 130
    assert out.read_text() == "previous\n" and sorted(os.listdir(tmp_path)) == ["ok.npy", "pairs.csv"]


@pytest.mark.parametrize("kind, k", [("phash", 10), ("pdq", 31)])
def test_hash_then_groups_is_the_delete_list(tmp_path, capsys, kind, k):
    pytest.importorskip("pdqhash" if kind == "pdq" else "imagehash")
    pytest.importorskip("pyarrow")
    from PIL import Image

    rng = np.random.default_rng(0)
    (tmp_path / "photos" / "copies").mkdir(parents=True)
    for n in range(4):
        picture = Image.fromarray(rng.integers(0, 256, (48, 48, 3), dtype=np.uint8)).resize((96, 96))
        picture.save(tmp_path / "photos" / f"{n}.png")
        picture.resize((64, 64)).save(tmp_path / "photos" / "copies" / f"{n}.jpg", quality=90)
    (tmp_path / "photos" / "broken.jpg").write_bytes(b"not an image")
    hashes, groups = str(tmp_path / "hashes.parquet"), str(tmp_path / "groups.csv")
    assert main(["hash", "images", str(tmp_path / "photos"), "--kind", kind, "-o", hashes]) == 0
    assert "skipped" in capsys.readouterr().err
    assert main(["groups", hashes, "--id-column", "path", "-k", str(k), "-o", groups]) == 0
    rows = list(csv.DictReader(open(groups)))
    dropped = sorted(
        Path(r["id"]).relative_to(tmp_path / "photos").as_posix() for r in rows if r["keep"] == "0"
    )
    assert dropped == [f"copies/{n}.jpg" for n in range(4)] and len(rows) == 8


STDOUT = "/dev/stdout" if os.path.exists("/dev/stdout") else "/proc/self/fd/1"


def test_console_script_and_module_run(tmp_path):
    source = write_input(tmp_path, "npy")[0]
    for command, out in (
        (BRIMEL, []),
        # Some containers lack /dev/stdout; /proc/self/fd/1 is the same pipe.
        ([str(Path(sys.executable).with_name("brimel"))], ["-o", STDOUT]),
    ):
        done = subprocess.run([*command, "groups", source, "-k", "4", *out], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        labels = np.loadtxt(done.stdout.splitlines()[1:], delimiter=",", dtype=np.int64)[:, 1]
        assert np.array_equal(labels, find_groups(CODES, 4)) and "groups" in done.stderr
