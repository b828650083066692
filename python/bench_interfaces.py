"""The Python module and the Octave host function KELVO on real MRI data: magnitude (Rician)
noise at two levels with the known and the estimated sigma, a NaN background against a zeroed
one, and a series of volumes against separate calls. Prints the quality figures of both
interfaces and how far they are apart.

Data: a central crop of the primate T1 template of Debian's mricron-data (scaled to a maximum
of 1), noise made with fixed seeds. Octave runs KELVO on the same samples: a C-ordered
(z, y, x) array is the column-major (x, y, z) array KELVO sees, so both interfaces denoise the
same volume in the same layout.

    PYTHONPATH=build/release/python/package /usr/bin/python3 python/bench_interfaces.py \
        [--mex build/release/mex] [--threads 2]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

# The source folder holds the package without its compiled core: import the built one.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != HERE]
sys.path.append(os.path.join(HERE, "..", "bench"))

import kelvo  # noqa: E402
from nifti_min import read_nifti  # noqa: E402

T1 = "/usr/share/mricron/templates/inia19-t1-brain.nii.gz"
SEED = 20261208


def load_crop():
    xyz = read_nifti(T1)[40:120, 60:140, 30:94]  # (x, y, z) as stored
    vol = np.ascontiguousarray(xyz.transpose()).astype(np.float32)  # (z, y, x)
    return vol / vol.max()


def magnitude(clean, sigma, seed):
    rng = np.random.default_rng(seed)
    return np.abs(clean + rng.normal(0, sigma, clean.shape) +
                  1j * rng.normal(0, sigma, clean.shape)).astype(np.float32)


def psnr(a, b, where):
    mse = np.mean((np.asarray(a, np.float64)[where] - b[where]) ** 2)
    return 10 * np.log10(1.0 / mse)


def octave_kelvo(cases, mex, threads, workdir):
    """Runs KELVO on every (name, volume, noise, rician) case in one Octave session; returns
    the results by name."""
    lines = [f"addpath('{os.path.abspath(mex)}');"]
    for name, vol, noise, rician in cases:
        src = os.path.join(workdir, name + ".in")
        vol.astype(np.float32).tofile(src)
        size = list(vol.shape[::-1])
        noise_text = "'auto'" if noise == "auto" else repr(float(noise))
        lines += [
            f"fid = fopen('{src}', 'r'); z = reshape(fread(fid, Inf, 'single=>single'), "
            f"{size}); fclose(fid);",
            "pro = KELVOProfile(); pro.numThreads = %d;" % threads,
            "pro.noiseDistribution = '%s';" % ("rician" if rician else "gaussian"),
            f"y = KELVO(z, {noise_text}, pro);",
            f"fid = fopen('{os.path.join(workdir, name + '.out')}', 'w'); "
            "fwrite(fid, y, 'single'); fclose(fid);",
        ]
    script = os.path.join(workdir, "run.m")
    with open(script, "w") as f:
        f.write("\n".join(lines) + "\n")
    subprocess.run(["octave-cli", "--no-gui", "--norc", "--quiet", script], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return {name: np.fromfile(os.path.join(workdir, name + ".out"), np.float32).reshape(vol.shape)
            for name, vol, _, _ in cases}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mex", default="build/release/mex")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()

    clean = load_crop()
    brain = clean > 0
    print(f"crop {clean.shape} (z, y, x), {brain.mean():.0%} brain, seed {SEED}")

    cases, results = [], {}
    for level in (0.05, 0.10):
        m = magnitude(clean, level, SEED + int(level * 100))
        for noise in (level, "auto"):
            name = f"rician{int(level * 100)}_{'auto' if noise == 'auto' else 'known'}"
            start = time.perf_counter()
            results[name] = kelvo.denoise(m, noise, noise="rician", threads=args.threads)
            seconds = time.perf_counter() - start
            cases.append((name, m, noise, True))
            extra = ""
            if noise == "auto":
                extra = f", estimate {kelvo.estimate_noise(m, noise='rician') / level:.3f} sigma"
            print(f"python {name}: brain {psnr(results[name], clean, brain):.2f} dB "
                  f"(noisy {psnr(m, clean, brain):.2f}), background mean "
                  f"{results[name][~brain].mean() / level:.3f} sigma{extra}, {seconds:.1f} s")

    rng = np.random.default_rng(SEED)
    gaussian = (clean + rng.normal(0, 0.05, clean.shape)).astype(np.float32)
    zeroed, nans = gaussian.copy(), gaussian.copy()
    zeroed[~brain] = 0
    nans[~brain] = np.nan
    for name, vol in (("zero_background", zeroed), ("nan_background", nans)):
        results[name] = kelvo.denoise(vol, 0.05, threads=args.threads)
        cases.append((name, vol, 0.05, False))
        print(f"python {name}: brain {psnr(results[name], clean, brain):.2f} dB, "
              f"auto estimate {kelvo.estimate_noise(vol) / 0.05:.3f} sigma")
    out = results["nan_background"]
    print(f"NaN background: NaN exactly where it was: "
          f"{np.array_equal(np.isnan(out), np.isnan(nans))}")

    series = np.stack([magnitude(clean, s, SEED + k) for k, s in enumerate((0.03, 0.06, 0.09))])
    start = time.perf_counter()
    together = kelvo.denoise(series, "auto", noise="rician", threads=args.threads)
    seconds = time.perf_counter() - start
    alone = [kelvo.denoise(v, "auto", noise="rician", threads=args.threads) for v in series]
    diff = max(float(np.max(np.abs(together[t] - alone[t]))) for t in range(3))
    print(f"series of 3 volumes, 'auto' per volume: {seconds:.1f} s, largest difference from "
          f"separate calls {diff:.3g} (threads={args.threads}: aggregation order may vary)")

    with tempfile.TemporaryDirectory() as workdir:
        start = time.perf_counter()
        octave = octave_kelvo(cases, args.mex, args.threads, workdir)
        print(f"Octave KELVO on the same {len(cases)} cases: {time.perf_counter() - start:.1f} s")
    for name, _, _, _ in cases:
        a, b = results[name], octave[name]
        same_nan = np.array_equal(np.isnan(a), np.isnan(b))
        finite = np.isfinite(a)
        print(f"  {name}: Octave brain {psnr(b, clean, brain):.2f} dB, largest difference "
              f"from Python {np.max(np.abs(a[finite] - b[finite])):.3g}, NaN positions equal "
              f"{same_nan}")


if __name__ == "__main__":
    main()
