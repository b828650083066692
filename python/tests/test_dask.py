"""Chunked denoising on a local distributed cluster against the whole-volume result."""

import numpy as np
import pytest

import kelvo

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import kelvo.dask as kd  # noqa: E402

SEED = 7301
print(f"random seed {SEED}")


@pytest.fixture(scope="module")
def client():
    # Two worker processes on loopback, one dask thread each; no dashboard.
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       silence_logs=40)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def textured(shape, sigma, seed=SEED):
    """Blocks of constant value plus a diagonal ramp and noise: matches differ by chunk."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.arange(n) for n in shape], indexing="ij")
    clean = 40.0 + 0.3 * sum(grids)
    for g in grids:
        clean += 30.0 * ((g // 11) % 2)
    return (clean + rng.normal(0.0, sigma, shape)).astype(np.float32), clean


def seam_error(chunked, whole):
    return float(np.max(np.abs(chunked.astype(np.float64) - whole)))


def anisotropic_volume_profile(coarse_noise_ratio=float("inf")):
    """Different blocks' reach and steps per dimension and per stage (unit lcm(3, 2) = 6);
    by default without the binned copy."""
    p = kelvo.Profile.defaults(True)
    p.coarse_noise_ratio = coarse_noise_ratio
    ht, wie = p.hard_threshold, p.wiener
    ht.search_radius, ht.step_size = (3, 2, 1), (3, 3, 2)
    wie.block_size, wie.search_radius, wie.step_size = (4, 4, 4), (2, 3, 1), (2, 3, 2)
    p.hard_threshold, p.wiener = ht, wie
    return p


def test_overlap_depth_and_alignment():
    # Volume defaults without the binned copy (white noise small against the data): hard
    # thresholding R 4, B 4, step 3; Wiener R 4, 4, 3 (z, axis 0, 3), B 3, step 3; the
    # refinement R 2, B 3, 3, 2, step 2: a reach of 11 + 8 + 5 = 24 along z and 11 + 10 + 6 =
    # 27 along y and x, rounded up to lcm(3, 2) = 6.
    p = kelvo.Profile.defaults(True)
    p.coarse_noise_ratio = float("inf")
    depth, unit = kd.overlap_depth((40, 256, 256), p)
    assert unit == (6, 6, 6) and depth == (24, 30, 30)
    # The shape alone cannot tell whether white noise is large against the data: the defaults'
    # depth counts the binned copy, 2 (11 + 8) + 3 + 5 = 46 along z and 2 (11 + 10) + 3 + 6 = 51
    # along y and x, rounded up to 2 lcm(3, 3) = 6.
    assert kd.overlap_depth((40, 256, 256)) == ((48, 54, 54), (6, 6, 6))
    # Correlated volume defaults: hard thresholding 6x6x6 at step 4, radius 4; Wiener 4x4x4 at
    # step 3, radius 5; and the binned copy: 2 (13 + 13) + 3 = 55; then the refinement: + 6 =
    # 61, rounded up to 2 lcm(4, 3).
    assert kd.overlap_depth((40, 256, 256), correlated=True) == ((72, 72, 72), (24, 24, 24))
    # Images: R 12 and 20, B 8, and the binned copy: 2 (31 + 47) + 3 = 159; then the
    # refinement (R 8, B 8, step 6): + 23 = 182, rounded up to 6.
    depth, unit = kd.overlap_depth((256, 256))
    assert unit == (6, 6) and depth == (186, 186)
    depth, unit = kd.overlap_depth((256, 256), stages="hard")
    assert depth == (66, 66)  # 2 x 31 + 3 rounded up to 6
    p = kelvo.Profile.defaults(False)
    p.multiscale = False
    p.refinement.enabled = False
    assert kd.overlap_depth((256, 256), p) == ((78, 78), (3, 3))  # 31 + 47, a multiple of 3
    depth, unit = kd.overlap_depth((40, 64, 64), anisotropic_volume_profile())
    # axis 0 is z: reach (2+4-1) + (2+4-1) + 5 (the refinement's 2-deep blocks) = 15 -> 16,
    # a multiple of 2; y: 7 + 9 + 6 = 22 -> 24; x: 9 + 7 + 6 -> 24 (steps 3 and 2: unit 6)
    assert unit == (2, 6, 6) and depth == (16, 24, 24)
    cases = ((256, 64, 3, 63), (100, 10, 6, 18), (90, 200, 3, 27), (97, 32, 3, 27),
             (200, 96, 3, 63), (1000, 7, 1, 0), (130, 64, 64, 64))
    for n, target, u, d in cases:
        chunks = kd.aligned_chunks(n, target, u, d)
        assert sum(chunks) == n
        assert all(c % u == 0 for c in chunks[:-1])
        assert len(chunks) == 1 or min(chunks) >= d
    assert kd.aligned_chunks(200, 96, 3, 63) == (102, 98)  # regular: zarr can store it
    assert kd.aligned_chunks(130, 64, 64, 64) == (64, 66)  # no regular choice: merged


def test_chunked_equals_whole_image(client):
    # White noise, and a PSD that is not flat: without a profile both interfaces must choose
    # the same defaults (those of correlated noise for the PSD), or the results would differ.
    sigma = 12.0
    z, _ = textured((400, 390), sigma)
    fy, fx = np.meshgrid(np.fft.fftfreq(32), np.fft.fftfreq(32), indexing="ij")
    lowpass = np.cos(np.pi * fy) ** 2 * np.cos(np.pi * fx) ** 2
    psd = (sigma ** 2 * 32 * 32 * lowpass / lowpass.mean()).astype(np.float32)
    for noise in (sigma, psd):
        whole = kelvo.denoise(z, noise, threads=1)
        result = kd.denoise(da.from_array(z, chunks=(80, 64)), noise, threads=1)
        assert all(c % 3 == 0 for axis in result.chunks for c in axis[:-1])
        assert min(len(axis) for axis in result.chunks) > 1
        err = seam_error(result.compute(), whole)
        print(f"image 400x390 in {result.chunks}, {'white' if noise is sigma else 'PSD'}: "
              f"seam error {err} (one engine thread)")
        assert err == 0.0  # one engine thread: bit for bit


def test_chunked_colour_image_equals_whole(client):
    # Channels that share their structure (decorrelated, the first channel's groups shared)
    # and channels that do not, with each channel's sigma estimated: bit for bit.
    sigma = 12.0
    base, _ = textured((400, 390), 0.0)
    rng = np.random.default_rng(SEED + 1)
    noise = rng.normal(0.0, sigma, (400, 390, 3))
    colour = np.stack([base, 0.8 * base + 20, 0.6 * base + 40], axis=-1) + noise
    unrelated = np.stack([base, base[::-1], base[:, ::-1]], axis=-1) + noise
    for z, mixed in ((colour.astype(np.float32), True), (unrelated.astype(np.float32), False)):
        assert kelvo._kelvo._channels_share_structure(z, 2, [sigma], None, None) == mixed
        whole = kelvo.denoise(z, "auto", threads=1, channel_axis=-1)
        result = kd.denoise(da.from_array(z, chunks=(80, 64, 1)), "auto", threads=1,
                            channel_axis=-1)
        assert result.chunks[2] == (3,) and len(result.chunks[0]) > 1
        err = seam_error(result.compute(), whole)
        print(f"colour image 400x390x3 in {result.chunks}, mixed {mixed}: seam error {err}")
        assert err == 0.0


def test_chunked_equals_whole_volume_anisotropic(client):
    # The data's deviation is about 27: noise of 10 is small against it, noise of 20 large
    # enough for the binned copy, which the whole array decides for every chunk.
    profile = anisotropic_volume_profile(kelvo.Profile.defaults(True).coarse_noise_ratio)
    single = anisotropic_volume_profile()
    # (The binned copy's run needs twice the overlap: a larger volume.)
    for sigma, coarse, shape in ((20.0, True, (40, 112, 112)), (10.0, False, (40, 64, 64))):
        z, _ = textured(shape, sigma)
        whole = kelvo.denoise(z, sigma, profile=profile, threads=1)
        assert coarse != np.array_equal(whole, kelvo.denoise(z, sigma, profile=single,
                                                             threads=1))
        result = kd.denoise(da.from_array(z, chunks=(15, 24, 24)), sigma, profile=profile,
                            threads=1)
        assert all(len(c) == 2 for c in result.chunks[1:])
        err = seam_error(result.compute(), whole)
        print(f"volume {shape} in {result.chunks}, sigma {sigma}: seam error {err} (one "
              f"engine thread)")
        assert err == 0.0

    # The overlap is needed: half of it, or a grid phase off by one, breaks the seams (the
    # last case, which runs without the binned copy).
    chunks = da.from_array(z, chunks=result.chunks)
    depth, _ = kd.overlap_depth(z.shape, single)
    kwargs = dict(sigma=sigma, psd=None, profile=kelvo._profile_for(z.shape, single, 1),
                  stages="all")
    short = chunks.map_overlap(kd._denoise_block, depth=tuple(d // 2 for d in depth),
                               boundary="none", dtype=np.float32, **kwargs)
    assert seam_error(short.compute(), whole) > 0.1
    shifted = da.from_array(z, chunks=tuple((c[0] + 1,) + c[1:-1] + (c[-1] - 1,)
                                            for c in result.chunks))
    off_phase = shifted.map_overlap(kd._denoise_block, depth=depth, boundary="none",
                                    dtype=np.float32, **kwargs)
    assert seam_error(off_phase.compute(), whole) > 0.1


def test_chunked_with_psd_and_engine_threads(client):
    sigma = 8.0
    z, clean = textured((48, 64, 60), sigma, seed=SEED + 1)
    psd = np.full((8, 8, 8), sigma ** 2 * 512, np.float32)
    whole1 = kelvo.denoise(z, psd, threads=1)
    chunked1 = kd.denoise(da.from_array(z, chunks=(24, 32, 30)), psd, threads=1).compute()
    assert seam_error(chunked1, whole1) == 0.0
    # With two engine threads a chunk splits its slices between the threads elsewhere than
    # the whole volume does, so the samples both threads write are summed in another order:
    # equal only to rounding. Bound: the typical difference is at the float32 rounding of
    # the values, and isolated flips of a block choice stay rare and small next to the noise.
    whole2 = kelvo.denoise(z, psd, threads=2)
    chunked2 = kd.denoise(da.from_array(z, chunks=(24, 32, 30)), psd, threads=2).compute()
    diff = np.abs(chunked2.astype(np.float64) - whole2)
    eps = np.finfo(np.float32).eps * float(np.abs(whole2).max())
    print(f"two engine threads: max {diff.max():.3g}, mean {diff.mean():.3g}, "
          f"share above 64 ulp {np.mean(diff > 64 * eps):.3g}")
    assert np.median(diff) <= 64 * eps
    assert np.mean(diff > 64 * eps) < 0.01 and diff.max() < sigma / 2
    # and the chunked result is a good estimate (the same quality as the whole one)
    rmse = lambda a: float(np.sqrt(np.mean((a - clean) ** 2)))  # noqa: E731
    assert rmse(chunked2) < 1.02 * rmse(whole2) + 1e-3


def test_auto_sigma_is_estimated_once(client):
    sigma = 6.0
    z, _ = textured((48, 60, 60), sigma, seed=SEED + 2)
    arr = da.from_array(z, chunks=(24, 30, 30))
    estimate = kelvo.estimate_noise(z)  # the whole array fits the 128^3 crop
    got = kd.denoise(arr, "auto", threads=1).compute()
    assert np.array_equal(got, kd.denoise(arr, estimate, threads=1).compute())
    assert np.array_equal(got, kelvo.denoise(z, estimate, threads=1))


def test_magnitude_noise_masks_and_chunks_without_data(client):
    sigma = 5.0
    _, clean = textured((30, 64, 64), 0.0, seed=SEED + 4)
    clean[:, 26:38, 26:38] = 0.0  # a dark column across two chunk seams: its noise floor is cleared
    rng = np.random.default_rng(SEED + 4)
    m = np.abs(clean + rng.normal(0, sigma, clean.shape) +
               1j * rng.normal(0, sigma, clean.shape)).astype(np.float32)
    arr = da.from_array(m, chunks=(15, 32, 32))
    # Chunks agree bit for bit, the clearing of the dark column's noise floor included, and
    # "auto" is the whole array's Rician estimate.
    whole = kelvo.denoise(m, "auto", threads=1, noise="rician")
    assert seam_error(kd.denoise(arr, "auto", threads=1, noise="rician").compute(), whole) == 0
    # A NaN background that fills whole chunks, and a mask: both come back unchanged.
    holed = m.copy()
    holed[:, :, :30] = np.nan
    mask = np.ones(m.shape, bool)
    mask[:, 50:, :] = False
    out = kd.denoise(da.from_array(holed, chunks=(15, 32, 32)), sigma, threads=1,
                     noise="rician", mask=mask).compute()
    assert np.array_equal(np.isnan(out), np.isnan(holed))
    assert np.array_equal(out[~mask], holed[~mask], equal_nan=True)
    data = np.isfinite(holed) & mask
    ref = kelvo.denoise(holed, sigma, threads=1, noise="rician", mask=mask)
    err = lambda a: float(np.sqrt(np.mean((a[data] - clean[data]) ** 2)))  # noqa: E731
    print(f"masked NaN volume: chunked RMSE {err(out):.3f}, whole {err(ref):.3f}")
    assert err(out) < 1.02 * err(ref)
    with pytest.raises(ValueError, match="shape"):
        kd.denoise(arr, sigma, mask=np.ones((64, 64, 30)))
    with pytest.raises(ValueError, match="reversed"):
        kd.denoise(arr, np.ones((64, 64, 30)))
    with pytest.raises(ValueError, match="coils"):
        kd.denoise(arr, sigma, noise="rician", coils=0)


def test_zarr_round_trip(client, tmp_path):
    zarr = pytest.importorskip("zarr")
    sigma = 9.0
    z, _ = textured((200, 180), sigma, seed=SEED + 3)
    src = zarr.open(str(tmp_path / "in.zarr"), mode="w", shape=z.shape, chunks=(96, 96),
                    dtype="f4")
    src[:] = z
    out = kd.denoise(da.from_zarr(str(tmp_path / "in.zarr")), sigma, threads=1)
    out.to_zarr(str(tmp_path / "out.zarr"))
    stored = zarr.open(str(tmp_path / "out.zarr"), mode="r")[:]
    assert stored.dtype == np.float32
    assert np.array_equal(stored, kelvo.denoise(z, sigma, threads=1))


def test_bad_arguments():
    with pytest.raises(ValueError):
        kd.denoise(da.zeros((4, 4, 4, 4)), 1.0)
    with pytest.raises(TypeError):
        kd.denoise(da.zeros((64, 64), dtype=np.complex64), 1.0)
    with pytest.raises(ValueError):
        kd.denoise(da.zeros((64, 64)), 1.0, stages="wiener")
    with pytest.raises(ValueError):
        kd.denoise(da.zeros((64, 64)), 1.0, chunks=(32,))
