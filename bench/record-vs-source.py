#!/usr/bin/env python3
"""How closely records play their sources: encodes a set of repeatable test
files (sox -R), renders source and record through the lattice and compares.

    bench/record-vs-source.py [build-folder]

At the source rate the pcm16 and pcm24in32 renderings must be identical bytes;
at 96 and 192 kHz the largest difference is printed in 24-bit steps, with the
frame where it occurs. Plain python (no numpy), so it runs anywhere the build
does.
"""
import array
import os
import subprocess
import sys
import tempfile

FILES = [
    # name, bits, sox synth arguments (4 s stereo 44.1 kHz)
    ("sine1k-0.1dB-24", 24, ["synth", "4", "sine", "1000", "vol", "-0.1dB"]),
    ("pink-6dB-24", 24, ["synth", "4", "pinknoise", "vol", "-6dB"]),
    ("pink-1dB-16", 16, ["synth", "4", "pinknoise", "vol", "-1dB"]),
    ("chord-16", 16, ["synth", "4", "sine", "440", "synth", "4", "sine", "mix", "660", "vol", "0.5"]),
    ("sweep-fs-16", 16, ["synth", "4", "sine", "50-15000"]),
    ("sweep-fs-24", 24, ["synth", "4", "sine", "50-15000"]),
]


def samples(path):
    """The data chunk of a 32-bit integer WAVE as signed ints."""
    with open(path, "rb") as f:
        data = f.read()
    pos = 12
    while pos + 8 <= len(data):
        tag = data[pos:pos + 4]
        size = int.from_bytes(data[pos + 4:pos + 8], "little")
        if tag == b"data":
            a = array.array("i")
            a.frombytes(data[pos + 8:pos + 8 + size])
            if sys.byteorder != "little":
                a.byteswap()
            return a
        pos += 8 + size + (size & 1)
    raise RuntimeError("no data chunk in " + path)


def data_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/linux"
    auralith = os.path.realpath(os.path.join(build, "src/cli/auralith"))
    work = tempfile.mkdtemp()

    def run(*args):
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)

    print("%-16s %9s %6s %6s %14s %14s" % ("file", "record", "pcm16", "pcm24", "96k steps", "192k steps"))
    for name, bits, synth in FILES:
        src = os.path.join(work, name + ".wav")
        rec = os.path.join(work, name + ".aur")
        run("sox", "-R", "-n", "-r", "44100", "-c", "2", "-b", str(bits), src, *synth)
        run(auralith, "encode", src, "-o", rec, "--force")
        row = [name, str(os.path.getsize(rec))]
        for fmt in ("pcm16", "pcm24in32"):
            outs = []
            for path in (src, rec):
                out = path + "." + fmt + ".wav"
                run(auralith, "render", path, "-o", out, "--format", fmt)
                outs.append(data_bytes(out))
            row.append("same" if outs[0] == outs[1] else "DIFF")
        for rate in ("96000", "192000"):
            outs = []
            for path in (src, rec):
                out = path + "." + rate + ".wav"
                run(auralith, "render", path, "-o", out, "--rate", rate, "--format", "pcm24in32")
                outs.append(samples(out))
            a, b = outs
            worst, at = 0, -1
            if len(a) != len(b):
                worst, at = -1, -1
            else:
                for i in range(len(a)):
                    d = abs((a[i] >> 8) - (b[i] >> 8))
                    if d > worst:
                        worst, at = d, i // 2
            row.append("%d@%d" % (worst, at) if worst > 0 else "0")
        print("%-16s %9s %6s %6s %14s %14s" % tuple(row))
        sys.stdout.flush()
    subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
