#!/usr/bin/python3
"""Kelvo on real MRI data against dipy's non-local means in its Rician mode.

    /usr/bin/python3 bench/mri_compare.py [KELVO] [VOLUME] [--dipy-radii 2,3,5] [--threads N]

KELVO defaults to build/release/cli/kelvo, VOLUME to Debian's mricron template
/usr/share/mricron/templates/inia19-t1-brain.nii.gz (a skull-stripped T1, float). The volume is
scaled to the range 1 and cropped to the bounding box of its non-zero samples plus 8 voxels.
Every noisy variant uses a fixed seed. All PSNRs are against the clean crop (peak 1), over the
whole crop ("all") and over the non-zero samples ("brain").

Cases (one table each):
  1. Magnitude (Rician) noise of 2, 5, 10 and 15 % everywhere (a Rayleigh background): Kelvo
     `--noise rician` with the true sigma and with `--sigma auto`, Kelvo's Gaussian model for
     reference, and dipy `nlmeans(..., rician=True)` at each block radius of --dipy-radii (patch
     radius 1) for 5 and 10 %; the output background mean is given in units of sigma.
  2. Skull-stripped: Gaussian noise 0.1 on the brain, the background exactly zero, then NaN:
     the estimated sigma, and the brain PSNR with the true and the estimated sigma.
  3. A brain mask on the 5 % Rician volume: samples outside must come back unchanged.
  4. The PSD axis rule: noise correlated along x, its PSD written as NIfTI and as a C-ordered
     .npy of shape (Fx, Fy, Fz) (nibabel's order), and white noise of the same variance assumed.
dipy is a dependency of this benchmark only.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nifti_min import read_nifti, write_nifti  # noqa: E402

ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
OPTS = dict(a[2:].split("=", 1) for a in sys.argv[1:] if a.startswith("--") and "=" in a)
KELVO = ARGS[0] if ARGS else "build/release/cli/kelvo"
VOLUME = ARGS[1] if len(ARGS) > 1 else "/usr/share/mricron/templates/inia19-t1-brain.nii.gz"
DIPY_RADII = [int(r) for r in OPTS.get("dipy-radii", "2,3,5").split(",") if r]
THREADS = OPTS.get("threads", "0")


def psnr(ref, est, where=None):
    d = (est - ref) if where is None else (est - ref)[where]
    return 10 * np.log10(1.0 / np.mean(d.astype(np.float64) ** 2))


def rician(clean, sigma, seed, coils=1):
    rng = np.random.default_rng(seed)
    s = (clean + rng.normal(0, sigma, clean.shape)) ** 2 + rng.normal(0, sigma, clean.shape) ** 2
    for _ in range(coils - 1):
        s += rng.normal(0, sigma, clean.shape) ** 2 + rng.normal(0, sigma, clean.shape) ** 2
    return np.sqrt(s)


class Kelvo:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    def run(self, volume, *options):
        """Denoises `volume` (nibabel axis order) through a NIfTI file; returns the result, the
        estimated sigma if one was printed, and the seconds taken."""
        self.count += 1
        src = os.path.join(self.folder, f"in{self.count}.nii")
        dst = os.path.join(self.folder, f"out{self.count}.nii")
        write_nifti(src, volume)
        t0 = time.perf_counter()
        res = subprocess.run([KELVO, "denoise", src, dst, "--threads", THREADS, *options],
                             capture_output=True, text=True)
        seconds = time.perf_counter() - t0
        if res.returncode != 0:
            raise RuntimeError(res.stderr.strip())
        found = re.search(r"estimated sigma ([0-9.eE+-]+)", res.stderr)
        return read_nifti(dst), float(found.group(1)) if found else None, seconds


def main():
    raw = read_nifti(VOLUME)
    raw = raw / raw.max()
    nz = np.argwhere(raw > 0)
    lo = np.maximum(nz.min(0) - 8, 0)
    hi = np.minimum(nz.max(0) + 9, raw.shape)
    clean = raw[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]]
    brain = clean > 0
    print(f"volume {os.path.basename(VOLUME)}, crop {clean.shape} (x, y, z), brain "
          f"{brain.mean() * 100:.0f} % of the crop")
    with tempfile.TemporaryDirectory() as folder:
        k = Kelvo(folder)
        magnitude_table(k, clean, brain)
        skull_stripped_table(k, clean, brain)
        mask_table(k, clean, brain)
        psd_table(k, clean, folder)


def magnitude_table(k, clean, brain):
    from dipy.denoise.nlmeans import nlmeans

    print("\n1. Rician noise (one coil) everywhere; PSNR dB all / brain; background mean in sigma")
    print(f"{'sigma':>6} {'method':<34} {'all':>6} {'brain':>6} {'bg/sigma':>8} {'s':>6}")
    for sigma in (0.02, 0.05, 0.10, 0.15):
        noisy = rician(clean, sigma, seed=int(sigma * 1000)).astype(np.float32)
        bg = ~brain

        def row(name, out, seconds, extra=""):
            print(f"{sigma:6.2f} {name:<34} {psnr(clean, out):6.2f} {psnr(clean, out, brain):6.2f} "
                  f"{out[bg].mean() / sigma:8.2f} {seconds:6.1f}{extra}")

        row("noisy", noisy, 0.0)
        out, _, t = k.run(noisy, "--sigma", str(sigma), "--noise", "rician")
        row("kelvo --noise rician, true sigma", out, t)
        true_db = psnr(clean, out)
        out, est, t = k.run(noisy, "--sigma", "auto", "--noise", "rician")
        row("kelvo --noise rician --sigma auto", out, t,
            f"  estimate {est:.4f} ({est / sigma - 1:+.1%}), {psnr(clean, out) - true_db:+.2f} dB")
        if sigma in (0.05, 0.10):
            out, _, t = k.run(noisy, "--sigma", str(sigma))
            row("kelvo Gaussian model, true sigma", out, t)
            for radius in DIPY_RADII:
                t0 = time.perf_counter()
                out = nlmeans(noisy.astype(np.float64), sigma, patch_radius=1,
                              block_radius=radius, rician=True, num_threads=2)
                row(f"dipy nlmeans rician, block radius {radius}", out, time.perf_counter() - t0)
        sys.stdout.flush()


def skull_stripped_table(k, clean, brain):
    sigma = 0.1
    rng = np.random.default_rng(7)
    zero = np.where(brain, clean + rng.normal(0, sigma, clean.shape), 0.0).astype(np.float32)
    nan = np.where(brain, zero, np.nan).astype(np.float32)
    print(f"\n2. Skull-stripped, Gaussian sigma {sigma} on the brain ({(~brain).mean():.0%} background)")
    print(f"{'background':<10} {'sigma used':<22} {'brain dB':>8} {'NaN kept':>9}")
    ref, _, _ = k.run(zero, "--sigma", str(sigma))
    print(f"{'zero':<10} {'true 0.1':<22} {psnr(clean, ref, brain):8.2f}")
    for name, noisy in (("zero", zero), ("NaN", nan)):
        out, est, _ = k.run(noisy, "--sigma", "auto")
        kept = ""
        if name == "NaN":
            same = np.array_equal(np.isnan(out), np.isnan(noisy))
            kept = "yes" if same else "NO"
        print(f"{name:<10} {'auto ' + f'{est:.4f}':<22} {psnr(clean, out, brain):8.2f} {kept:>9}")
    sys.stdout.flush()


def mask_table(k, clean, brain):
    sigma = 0.05
    noisy = rician(clean, sigma, seed=50).astype(np.float32)
    folder = k.folder
    mask_path = os.path.join(folder, "mask.nii")
    write_nifti(mask_path, brain.astype(np.float32))
    out, _, t = k.run(noisy, "--sigma", "auto", "--noise", "rician", "--mask", mask_path)
    unchanged = np.array_equal(out[~brain], noisy[~brain])
    print(f"\n3. Brain mask, Rician {sigma}: brain {psnr(clean, out, brain):.2f} dB in {t:.1f} s, "
          f"outside unchanged: {'yes' if unchanged else 'NO'}")
    sys.stdout.flush()


def psd_table(k, clean, folder):
    # Noise correlated along x: white noise filtered by a 3-tap kernel (circularly).
    sigma = 0.05
    kernel = np.array([0.6, 1.0, 0.6])
    kernel /= np.sqrt((kernel ** 2).sum())
    rng = np.random.default_rng(3)
    white = rng.normal(0, sigma, clean.shape)
    noise = sum(w * np.roll(white, s - 1, axis=0) for s, w in enumerate(kernel))
    noisy = (clean + noise).astype(np.float32)
    grid = (32, 16, 8)
    h = np.abs(np.fft.fft(np.r_[kernel, np.zeros(grid[0] - 3)])) ** 2
    psd = (sigma ** 2 * np.prod(grid) * h[:, None, None] * np.ones(grid)).astype(np.float32)
    nii = os.path.join(folder, "psd.nii")
    npy = os.path.join(folder, "psd.npy")
    write_nifti(nii, psd)
    np.save(npy, np.ascontiguousarray(psd))  # C order, shape (Fx, Fy, Fz)
    print("\n4. PSD axis rule: noise correlated along x, sigma 0.05")
    a, _, _ = k.run(noisy, "--psd", nii)
    b, _, _ = k.run(noisy, "--psd", npy)
    c, _, _ = k.run(noisy, "--sigma", str(sigma))
    print(f"   PSD as NIfTI {psnr(clean, a):.2f} dB, as C-ordered .npy (x, y, z) "
          f"{psnr(clean, b):.2f} dB (difference {psnr(clean, b) - psnr(clean, a):+.3f} dB), "
          f"white noise assumed {psnr(clean, c):.2f} dB")


if __name__ == "__main__":
    main()
