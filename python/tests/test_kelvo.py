"""Tests of the kelvo module: conversions, axes, noise models, errors, cancellation."""

import copy
import os
import pickle
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import kelvo

SEED = 20240611
print(f"random seed {SEED}")


def phantom_image(h=96, w=80):
    """Piecewise-constant image with edges along both axes."""
    img = np.full((h, w), 20.0, np.float32)
    img[h // 4: 3 * h // 4, w // 5: w // 2] = 120.0
    img[h // 8: h // 3, 3 * w // 5:] = 70.0
    return img


def phantom_volume(d=16, h=40, w=36):
    vol = np.full((d, h, w), 10.0, np.float32)
    vol[4:12, 8:30, 6:20] = 90.0
    vol[:, 30:, 24:] = 50.0
    return vol


def noisy(clean, sigma, seed=SEED):
    rng = np.random.default_rng(seed)
    return (clean + rng.normal(0.0, sigma, clean.shape)).astype(np.float32)


def rmse(a, b):
    return float(np.sqrt(np.mean((np.asarray(a, np.float64) - b) ** 2)))


# ---- Profile --------------------------------------------------------------------------

def test_profile_defaults_pickle_and_copies():
    vol, img = kelvo.Profile.defaults(True), kelvo.Profile.defaults(False)
    assert kelvo.Profile() == vol and vol != img
    assert tuple(vol.hard_threshold.block_size) == (4, 4, 4)
    assert tuple(img.hard_threshold.block_size) == (8, 8, 1)
    assert tuple(img.fft_size)[2] == 1 and vol.num_threads == 0
    for p in (vol, img):
        assert pickle.loads(pickle.dumps(p)) == p
        assert copy.deepcopy(p) == p
    changed = copy.copy(vol)
    changed.wiener = kelvo.StageProfile()
    changed.fft_size = (16, 8, 4)
    changed.sharpen_alpha = 1.5
    changed.adaptive_wiener = False
    changed.hard_threshold.min_group_size = 4
    changed.refinement.group_size = 5  # a live view, as the stages are
    assert changed.refinement.group_size == 5 and vol.refinement.group_size == 8
    assert changed != vol and kelvo.Profile.defaults(True) == vol  # defaults untouched
    assert tuple(changed.fft_size) == (16, 8, 4) and changed.sharpen_alpha == 1.5
    assert pickle.loads(pickle.dumps(changed)) == changed
    # A profile pickled before the last fields existed loads with their defaults (the
    # refinement's for the stage blocks' depth).
    for p in (vol, img):
        older = kelvo.Profile.__new__(kelvo.Profile)
        older.__setstate__(p.__getstate__()[:12])
        assert older == p and older.adaptive_wiener and older.refinement.enabled
        assert older.coarse_noise_ratio == 0.5
    assert "refinement=RefinementProfile(enabled=True, block_size=(8, 8, 1)" in repr(img)
    # A stage pickled before the smallest group existed keeps the rule of that time, 2.
    stage = kelvo.StageProfile.__new__(kelvo.StageProfile)
    stage.__setstate__(vol.wiener.__getstate__()[:6])
    assert stage.min_group_size == 2 and vol.wiener.min_group_size == 8
    assert stage.max_group_size == vol.wiener.max_group_size
    assert "block_size=(4, 4, 4)" in repr(vol)


def test_profile_changes_only_by_assignment():
    p = kelvo.Profile.defaults(True)
    # Per-dimension values are tuples: changing one in place fails instead of being lost.
    for stage in (p.hard_threshold, p.wiener):
        for name in ("block_size", "step_size", "search_radius"):
            assert isinstance(getattr(stage, name), tuple)
    assert isinstance(p.fft_size, tuple) and isinstance(p.split_comp, tuple)
    with pytest.raises(TypeError):
        p.wiener.search_radius[0] = 1
    with pytest.raises(TypeError):
        p.fft_size[2] = 4
    assert p == kelvo.Profile.defaults(True)
    # Assignment of a whole value (any sequence of three) and of a stage's field sticks.
    p.wiener.search_radius = [1, 2, 3]
    p.fft_size = np.array([16, 8, 4])
    p.wiener.max_group_size = 8
    assert p.wiener.search_radius == (1, 2, 3) and p.fft_size == (16, 8, 4)
    assert p.wiener.max_group_size == 8
    with pytest.raises(TypeError):
        p.fft_size = (8, 8)
    # repr is Python: True/False, floats with a decimal point, infinity as float('inf').
    p.sharpen = True
    p.coarse_noise_ratio = float("inf")
    text = repr(p)
    assert "sharpen=True" in text and "split_comp=(False, False, True)" in text
    assert "true" not in text and "false" not in text and "threshold=2.9" in text
    assert "coarse_noise_ratio=float('inf')" in text
    assert pickle.loads(pickle.dumps(p)) == p


def test_default_profile_is_the_shared_one():
    z = noisy(phantom_image(48, 48), 8.0)
    assert np.array_equal(kelvo.denoise(z, 8.0, threads=1),
                          kelvo.denoise(z, 8.0, profile=kelvo.Profile.defaults(False),
                                        threads=1))
    # threads overrides the profile without modifying the caller's copy
    p = kelvo.Profile.defaults(False)
    kelvo.denoise(z, 8.0, profile=p, threads=1)
    assert p.num_threads == 0


# ---- conversions and axes ----------------------------------------------------------------

@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.uint16, np.int32, np.int64,
                                   np.float16, np.float64, np.float32])
def test_dtype_round_trip(dtype):
    clean = phantom_image(48, 40)
    z = np.clip(np.rint(noisy(clean, 10.0)), 0, 250).astype(dtype)
    reference = kelvo.denoise(z.astype(np.float32), 10.0, threads=1)
    out = kelvo.denoise(z, 10.0, threads=1)
    assert out.dtype == np.float32 and out.shape == z.shape and out.flags.c_contiguous
    assert np.array_equal(out, reference)


def test_memory_order_and_views_keep_the_axes():
    vol = noisy(phantom_volume(), 10.0)
    reference = kelvo.denoise(vol, 10.0, threads=1)
    fortran = np.asfortranarray(vol)
    assert np.array_equal(kelvo.denoise(fortran, 10.0, threads=1), reference)
    big = noisy(phantom_volume(32, 80, 72), 10.0)
    view = big[::2, ::2, ::2]
    assert np.array_equal(kelvo.denoise(view, 10.0, threads=1),
                          kelvo.denoise(np.ascontiguousarray(view), 10.0, threads=1))
    before = vol.copy()
    kelvo.denoise(vol, 10.0, threads=1)
    assert np.array_equal(vol, before)  # input untouched


def test_last_axis_is_x_and_first_is_z():
    # Blocks are given as (x, y, z) and shrink to an array that is shorter than them: a short
    # last axis is short along x, a short first axis along z (and the first axis of an image
    # is y); one sample along x is refused in those terms.
    def fitted(shape, axis, volume):
        p = kelvo.Profile.defaults(volume)
        for name in ("hard_threshold", "wiener", "refinement"):
            st = getattr(p, name)
            block, n = list(st.block_size), shape[::-1][axis]
            block[axis] = min(block[axis], n)
            st.block_size = tuple(block)
            if name != "refinement":
                step = list(st.step_size)
                step[axis] = min(step[axis], block[axis])
                st.step_size = tuple(step)
            setattr(p, name, st)
        return p
    rng = np.random.default_rng(SEED)
    for shape, axis in (((16, 16, 3), 0), ((3, 16, 16), 2), ((40, 7), 0), ((7, 40), 1)):
        z = (0.5 + 0.1 * rng.standard_normal(shape)).astype(np.float32)
        profile = fitted(shape, axis, len(shape) == 3)
        assert np.array_equal(kelvo.denoise(z, 0.1, threads=1),
                              kelvo.denoise(z, 0.1, profile=profile, threads=1)), shape
    # One sample along an axis is refused in the caller's axes, for a series too.
    with pytest.raises(ValueError, match=r"shape \(16, 16, 1\): one sample along axis 2 \(x\)"
                                         r".*np.squeeze\(z, axis=2\)"):
        kelvo.denoise(np.ones((16, 16, 1), np.float32), 1.0)
    with pytest.raises(ValueError, match=r"each volume of z has shape \(16, 1, 16\): one sample "
                                         r"along axis 1 \(y\)"):
        kelvo.denoise(np.ones((2, 16, 1, 16), np.float32), 1.0)
    img = noisy(phantom_image(40, 48), 10.0)
    assert np.array_equal(kelvo.denoise(img[None], 10.0, threads=1)[0],
                          kelvo.denoise(img, 10.0, threads=1))
    assert not kelvo.is_volumetric((1, 40, 48)) and kelvo.is_volumetric((2, 40, 48))


def _correlated_along_x(shape, sigma, seed):
    """Noise smoothed along the last axis only, and its exact PSD on a (Fy, Fx) grid."""
    rng = np.random.default_rng(seed)
    kernel = np.array([1.0, 2.0, 1.0]) / 2.0
    white = rng.normal(0.0, sigma, (shape[0], shape[1] + 2))
    noise = sum(kernel[i] * white[:, i:i + shape[1]] for i in range(3))
    return noise.astype(np.float32), kernel


def _psd_of_kernel(kernel, sigma, grid):
    fy, fx = grid
    k = np.zeros(grid)
    k[0, :len(kernel)] = kernel
    # E|DFT(noise)|^2 on an Fy x Fx grid: sigma^2 * Fy * Fx * |H|^2
    return (sigma ** 2 * fy * fx * np.abs(np.fft.fft2(k)) ** 2).astype(np.float32)


def test_psd_axes_follow_numpy():
    sigma = 5.0
    noise, kernel = _correlated_along_x((512, 512), sigma, SEED)
    estimate = kelvo.estimate_noise_psd(noise + 40.0, grid=(16, 16))
    exact = _psd_of_kernel(kernel, sigma, (16, 16))
    assert estimate.shape == (16, 16) and estimate.dtype == np.float32
    # Low-pass along x: power falls towards the Nyquist column, not the Nyquist row.
    assert estimate[:, 8].mean() < 0.1 * estimate[:, 1].mean()
    assert estimate[8, 1:].mean() == pytest.approx(estimate[1, 1:].mean(), rel=0.15)
    # 2100 patches x 256 bins: each bin averages ~1000 periodograms (relative error ~3 %)
    mask = exact > 0.05 * exact.max()
    mask[0, 0] = False
    assert np.median(np.abs(estimate[mask] / exact[mask] - 1)) < 0.1

    # Denoising with the PSD read in the right axis order beats the transposed one.
    clean = np.tile(phantom_image(96, 96), (2, 2))
    z = clean + _correlated_along_x(clean.shape, sigma, SEED + 1)[0]
    right = rmse(kelvo.denoise(z, exact), clean)
    wrong = rmse(kelvo.denoise(z, np.ascontiguousarray(exact.T)), clean)
    assert right < 0.85 * wrong, (right, wrong)
    # The 3-D form (1, Fy, Fx) of an image PSD is accepted, (Fy, Fx, 1) is not.
    assert np.allclose(kelvo.denoise(z, exact[None], threads=1),
                       kelvo.denoise(z, exact, threads=1))
    with pytest.raises(ValueError, match=r"\(16, 16, 1\).*2-D image.*psd\[\.\.\., 0\]"):
        kelvo.denoise(z, exact[:, :, None])


# ---- noise estimation and denoising ------------------------------------------------------

def test_estimate_noise_monte_carlo():
    # MAD of n Gaussian samples: relative standard error ~ 1.17 / sqrt(n)
    for shape, sigma in (((256, 256), 7.0), ((32, 64, 64), 3.0)):
        n = np.prod([s // 2 for s in shape])
        z = noisy(np.zeros(shape, np.float32) + 100.0, sigma)
        assert kelvo.estimate_noise(z) == pytest.approx(sigma, rel=5 * 1.17 / np.sqrt(n))
        assert kelvo.estimate_noise(z.astype(np.int32)) == pytest.approx(sigma, rel=0.2)
    psd = kelvo.estimate_noise_psd(noisy(np.zeros((64, 64, 64), np.float32), 3.0))
    assert psd.shape == (8, 8, 8)
    # white noise: PSD = sigma^2 * grid points; ~1700 patches per bin
    assert np.median(psd) == pytest.approx(9.0 * 512, rel=0.1)
    # A stack of two slices takes a grid of 1 along z, and its PSD denoises it.
    z = noisy(np.zeros((2, 64, 64), np.float32) + 100.0, 3.0)
    psd = kelvo.estimate_noise_psd(z)
    assert psd.shape == (1, 8, 8)
    assert np.median(psd) == pytest.approx(9.0 * 64, rel=0.15)
    assert np.std(kelvo.denoise(z, psd, threads=1) - 100.0) < 1.0


def test_denoise_image_and_volume():
    for clean, sigma in ((phantom_image(), 15.0), (phantom_volume(), 15.0)):
        z = noisy(clean, sigma)
        out = kelvo.denoise(z, sigma)
        hard = kelvo.denoise(z, sigma, stages="hard")
        assert np.all(np.isfinite(out)) and np.all(np.isfinite(hard))
        assert rmse(out, clean) < sigma / 3 and rmse(hard, clean) < sigma / 2
        # "auto" uses the estimate of the whole array
        sigma_hat = kelvo.estimate_noise(z)
        assert np.array_equal(kelvo.denoise(z, "auto", threads=1),
                              kelvo.denoise(z, sigma_hat, threads=1))
        assert np.array_equal(kelvo.denoise(z, None, threads=1),
                              kelvo.denoise(z, np.float64(sigma_hat), threads=1))


def test_colour_image_channels_decorrelated_then_denoised_as_images():
    base, other = phantom_image(), phantom_image()[::-1, ::-1]
    ramp = np.linspace(0.0, 100.0, base.shape[1], dtype=np.float32)[None, :] + 0 * base
    k, c = np.meshgrid(np.arange(3), np.arange(3), indexing="ij")
    dct = np.sqrt(np.where(k == 0, 1.0, 2.0) / 3) * np.cos(np.pi * (c + 0.5) * k / 3)
    sigmas = np.array([6.0, 9.0, 6.0])
    colour = np.stack([0.9 * base + 0.1 * other, 0.8 * base + 0.2 * other,
                       0.6 * base + 0.3 * other], axis=-1)
    unrelated = np.stack([base, other, ramp], axis=-1)
    for clean, shares in ((colour, True), (unrelated, False)):
        z = (clean + (noisy(0 * clean, 1.0) * sigmas)).astype(np.float32)  # sigma per channel
        out = kelvo.denoise(z, sigmas, channel_axis=-1, threads=1)
        # Independently: channels that share their structure (the DCT across them leaves a
        # geometric mean of signal variances 1.5 times smaller) are decorrelated by that DCT,
        # others are not; each (whitened) channel is then denoised as an image at unit sigma
        # (the decorrelated channels after the first on the first one's groups, which only
        # the first can be compared with here).
        signal = np.cov((z / sigmas).reshape(-1, 3).T) - np.eye(3)
        def geometric(t):
            return np.exp(np.mean(np.log(np.maximum(np.diag(t @ signal @ t.T), 1e-3))))
        assert (geometric(np.eye(3)) > 1.5 * geometric(dct)) == shares
        t = dct if shares else np.eye(3)
        planes = (z / sigmas) @ t.T
        est = np.stack([kelvo.denoise(np.ascontiguousarray(planes[..., i], np.float32), 1.0,
                                      threads=1) for i in range(3)], axis=-1)
        if shares:
            assert np.max(np.abs((out / sigmas) @ t.T - est)[..., 0]) < 1e-4
        else:
            assert np.max(np.abs(out - (est @ t) * sigmas)) < 1e-3
    assert np.array_equal(
        np.moveaxis(kelvo.denoise(np.moveaxis(z, -1, 0), sigmas, channel_axis=0, threads=1),
                    0, -1), out)
    estimates = kelvo.estimate_noise(z, channel_axis=-1)
    assert np.array_equal(estimates, [kelvo.estimate_noise(np.ascontiguousarray(z[..., i]))
                                      for i in range(3)])
    assert np.array_equal(kelvo.denoise(z, "auto", channel_axis=2, threads=1),
                          kelvo.denoise(z, estimates, channel_axis=2, threads=1))
    for bad, message in (({"z": z[None]}, "3 axes"), ({"channel_axis": 3}, "an axis of z"),
                         ({"sigma_or_psd": [6.0, 12.0]}, "2 sigmas, but z has 3 channels"),
                         ({"noise": "rician"}, "rician"),
                         ({"sigma_or_psd": np.ones((8, 8, 3))}, "2-D")):
        args = {"z": z, "sigma_or_psd": 6.0, "channel_axis": -1, **bad}
        with pytest.raises(ValueError, match=message):
            kelvo.denoise(**args)


def test_bad_arguments():
    z = noisy(phantom_image(40, 40), 5.0)
    with pytest.raises(ValueError, match="standard deviation"):
        kelvo.denoise(z, 0.0)
    with pytest.raises(ValueError, match="standard deviation"):
        kelvo.denoise(z, float("inf"))
    with pytest.raises(TypeError):
        kelvo.denoise(z.astype(np.complex64), 5.0)
    with pytest.raises(ValueError, match="dimensions"):
        kelvo.denoise(z[0], 5.0)
    with pytest.raises(ValueError, match="dimensions"):
        kelvo.denoise(z[None, None, None], 5.0)
    with pytest.raises(ValueError, match="stages"):
        kelvo.denoise(z, 5.0, stages="wiener")
    with pytest.raises(ValueError, match="threads"):
        kelvo.denoise(z, 5.0, threads=-1)
    with pytest.raises(ValueError, match="one sample along axis 2"):
        kelvo.denoise(z[:1, :, None], 5.0)
    with pytest.raises(ValueError, match="8x8x1"):
        kelvo.denoise(z, 5.0, profile=kelvo.Profile.defaults(True))
    p = kelvo.Profile.defaults(False)
    s = p.hard_threshold
    s.max_group_size = 3
    p.hard_threshold = s
    with pytest.raises(ValueError, match="power of two"):
        kelvo.denoise(z, 5.0, profile=p)
    p = kelvo.Profile.defaults(False)
    p.wiener.min_group_size = 3
    with pytest.raises(ValueError, match="smallest group size must be a power of two"):
        kelvo.denoise(z, 5.0, profile=p)
    p = kelvo.Profile.defaults(False)
    p.coarse_noise_ratio = float("nan")
    with pytest.raises(ValueError, match="coarse noise ratio must be 0 or more"):
        kelvo.denoise(z, 5.0, profile=p)
    with pytest.raises(ValueError, match="non-negative"):
        kelvo.denoise(z, -np.ones((32, 32), np.float32))
    with pytest.raises(ValueError, match="PSD"):
        kelvo.denoise(z, np.ones(32, np.float32))
    with pytest.raises(ValueError, match="'auto'"):
        kelvo.denoise(z, "white")
    with pytest.raises(TypeError):
        kelvo.denoise(z, 5.0, profile={"threads": 1})
    with pytest.raises(ValueError):
        kelvo.estimate_noise_psd(z, grid=(12, 16))  # not a power of two


def test_allocation_failure_is_memory_error(tmp_path):
    # In a child process whose address space leaves room for the input and the output but
    # not for the engine's working volumes, the failure must surface as MemoryError.
    script = textwrap.dedent("""
        import resource, sys
        import numpy as np
        import kelvo
        z = np.zeros((128, 512, 512), np.float32) + 1
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
        limit = vm + z.nbytes + 96 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            kelvo.denoise(z, 1.0)
        except MemoryError:
            print("MemoryError")
            sys.exit(0)
        print("no error")
        sys.exit(1)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=300, env=dict(os.environ))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "MemoryError" in result.stdout


# ---- series, magnitude data, masks and samples without data ------------------------------

def test_series_is_volume_by_volume():
    sigmas = (4.0, 10.0, 20.0)
    series = np.stack([noisy(phantom_volume(), s, seed=SEED + i) for i, s in enumerate(sigmas)])
    estimates = kelvo.estimate_noise(series)
    assert estimates.shape == (3,) and estimates[0] < estimates[1] < estimates[2]
    out = kelvo.denoise(series, "auto", threads=1)  # one estimate per volume
    for t in range(3):
        assert np.array_equal(out[t], kelvo.denoise(series[t], "auto", threads=1))
    # A shared sigma and a mask of one volume's shape; progress covers the whole series.
    mask = np.zeros(series.shape[1:], bool)
    mask[2:14, 6:34, 4:30] = True
    calls = []
    out = kelvo.denoise(series, 8.0, threads=1, mask=mask,
                        progress=lambda stage, fraction: calls.append((stage, fraction)))
    for t in range(3):
        assert np.array_equal(out[t], kelvo.denoise(series[t], 8.0, threads=1, mask=mask))
    for stage in (0, 1):
        fractions = [f for s, f in calls if s == stage]
        assert fractions == sorted(fractions) and fractions[-1] == pytest.approx(1.0)
    with pytest.raises(ValueError, match=r"\(40, 36\).*\(16, 40, 36\)"):
        kelvo.denoise(series, 8.0, mask=mask[0])


def test_samples_without_data_come_back_unchanged():
    sigma = 8.0
    clean = phantom_volume(16, 48, 48)
    z = noisy(clean, sigma)
    holed = z.copy()
    holed[:, :, :12] = np.nan  # a NaN background
    holed[6, 20, 30] = np.nan  # and samples without data inside the volume
    holed[3, 40, 40] = np.inf
    holed[9, 10, 20] = -np.inf
    out = kelvo.denoise(holed, sigma)
    finite = np.isfinite(holed)
    assert np.array_equal(np.isnan(out), np.isnan(holed))
    assert np.array_equal(out[~finite], holed[~finite], equal_nan=True)  # Inf keeps its sign
    assert np.all(np.isfinite(out[finite]))
    # The data is denoised about as well as the same samples without the background (1.09
    # times the error; 1.37 when the fill continued the edge's noise outwards).
    ref = kelvo.denoise(z[:, :, 12:], sigma)
    inside = finite[:, :, 12:]
    assert rmse(out[:, :, 12:][inside], clean[:, :, 12:][inside]) < \
        1.2 * rmse(ref[inside], clean[:, :, 12:][inside])
    # NaNs do not pull the estimate: it is that of the samples with data.
    assert kelvo.estimate_noise(holed) == pytest.approx(kelvo.estimate_noise(z[:, :, 12:]),
                                                        rel=0.05)


def test_mask_limits_estimation_and_output():
    sigma = 6.0
    clean = phantom_volume(16, 64, 64)
    z = noisy(clean, sigma)
    mask = np.zeros(z.shape, np.uint8)
    mask[:, 8:56, 8:56] = 3  # any non-zero value is inside
    inside = mask != 0
    z[~inside] = noisy(clean, 5 * sigma, seed=SEED + 9)[~inside]  # much noisier outside
    assert kelvo.estimate_noise(z) > 1.5 * sigma
    assert kelvo.estimate_noise(z, mask=mask) == pytest.approx(sigma, rel=0.1)
    out = kelvo.denoise(z, "auto", mask=mask)
    assert np.array_equal(out[~inside], z[~inside])
    assert rmse(out[inside], clean[inside]) < sigma / 2
    psd = kelvo.estimate_noise_psd(z, mask=mask)
    assert np.median(psd) == pytest.approx(sigma ** 2 * psd.size, rel=0.25)
    with pytest.raises(ValueError, match=r"\(64, 64, 16\).*\(16, 64, 64\)"):
        kelvo.denoise(z, sigma, mask=np.ones((64, 64, 16)))
    with pytest.raises(ValueError):
        kelvo.denoise(z, sigma, mask=np.zeros(z.shape))  # selects nothing


def test_rician_magnitude_data():
    sigma = 6.0
    clean = np.zeros((24, 64, 64), np.float32)
    clean[6:18, 16:48, 16:48] = 60.0
    clean[8:16, 24:40, 20:30] = 25.0
    rng = np.random.default_rng(SEED)
    m = np.abs(clean + rng.normal(0, sigma, clean.shape) +
               1j * rng.normal(0, sigma, clean.shape)).astype(np.float32)
    assert kelvo.estimate_noise(m, noise="rician") == pytest.approx(sigma, rel=0.1)
    gaussian = kelvo.denoise(m, sigma)
    rician = kelvo.denoise(m, sigma, noise="rician")
    background = clean == 0
    # The magnitude bias (mean 1.25 sigma where there is no signal) is removed.
    assert gaussian[background].mean() > sigma
    assert abs(rician[background].mean()) < 0.25 * sigma
    assert rmse(rician, clean) < 0.7 * rmse(gaussian, clean)
    assert not np.array_equal(kelvo.denoise(m, sigma, noise="rician", coils=4), rician)
    for bad in (dict(noise="poisson"), dict(noise="rician", coils=0),
                dict(noise="rician", coils=1.5), dict(coils=2)):
        with pytest.raises(ValueError, match="noise|coils"):
            kelvo.denoise(m, sigma, **bad)


def test_psd_in_reversed_axes_is_refused():
    z = noisy(phantom_volume(16, 40, 36), 5.0)
    psd = np.full(z.shape, 25.0 * z.size, np.float32)
    with pytest.raises(ValueError, match=r"\(36, 40, 16\).*\(16, 40, 36\)"):
        kelvo.denoise(z, np.ascontiguousarray(psd.T))
    with pytest.raises(ValueError, match="reversed"):
        kelvo.denoise(z[0], np.ascontiguousarray(psd[0].T))
    # The same PSD in the axes of z is accepted, and so is a smaller grid.
    assert np.allclose(kelvo.denoise(z, psd, threads=1), kelvo.denoise(z, 5.0, threads=1),
                       atol=1e-3)


# ---- progress, cancellation, threads -----------------------------------------------------

class Stop(Exception):
    pass


def test_progress_reports_both_stages():
    z = noisy(phantom_volume(), 10.0)
    calls = []
    kelvo.denoise(z, 10.0, progress=lambda stage, fraction: calls.append((stage, fraction)))
    stages = [s for s, _ in calls]
    assert stages == sorted(stages) and set(stages) == {0, 1}
    for stage in (0, 1):
        fractions = [f for s, f in calls if s == stage]
        assert fractions == sorted(fractions) and 0 <= fractions[0]
        assert fractions[-1] == pytest.approx(1.0)


@pytest.mark.parametrize("stop_at", [(0, 0.0), (1, 0.0), (1, 1.0)])
def test_progress_exception_cancels_and_propagates(stop_at):
    z = noisy(phantom_volume(32, 64, 64), 10.0)
    calls = []

    def progress(stage, fraction):
        calls.append((stage, fraction))
        if (stage, fraction) >= stop_at:
            raise Stop(f"stopped at {stage} {fraction}")

    with pytest.raises(Stop, match="stopped"):
        kelvo.denoise(z, 10.0, progress=progress)
    assert calls[-1] >= stop_at
    assert sum(1 for c in calls if c >= stop_at) == 1  # never called again after raising
    if stop_at == (0, 0.0):
        assert all(stage == 0 for stage, _ in calls)  # the Wiener stage never started
    # The module is usable afterwards and gives the same result as before.
    small = noisy(phantom_image(40, 40), 5.0)
    assert np.array_equal(kelvo.denoise(small, 5.0, threads=1),
                          kelvo.denoise(small, 5.0, threads=1))


def test_denoise_from_a_progress_callback_is_refused():
    z = noisy(phantom_image(40, 40), 5.0)

    def progress(stage, fraction):
        kelvo.denoise(z, 5.0)

    with pytest.raises(RuntimeError, match="progress callback"):
        kelvo.denoise(z, 5.0, progress=progress)


def test_concurrent_python_threads_are_serialised():
    images = [noisy(phantom_image(64, 64), 8.0, seed=SEED + i) for i in range(4)]
    expected = [kelvo.denoise(img, 8.0, threads=1) for img in images]
    results = [None] * len(images)

    def run(i):
        results[i] = kelvo.denoise(images[i], 8.0, threads=1)

    workers = [threading.Thread(target=run, args=(i,)) for i in range(len(images))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for got, want in zip(results, expected):
        assert np.array_equal(got, want)
