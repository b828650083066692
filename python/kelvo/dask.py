"""Chunked denoising of dask arrays: volumes larger than memory, or many volumes, on one
machine or a cluster.

How the chunks stay exact
-------------------------
The engine visits reference blocks on a grid anchored at sample 0 with the profile's step
(plus one extra position at the far border of each dimension), searches similar blocks
within ``search_radius`` of each reference and writes every filtered block back where it
came from. Along one dimension, with block B and search radius R, the estimate at sample v
depends on the reference positions in ``[v - B + 1 - R, v + R]``, and each of them on the
samples of its search window, so on ``[v - (2R + B - 1), v + (2R + B - 1)]``. The Wiener
stage repeats this on the hard-thresholding estimate (the pilot). Hence, per dimension,

    reach = (2 R_ht + B_ht - 1) + (2 R_wiener + B_wiener - 1) + (2 R_ref + B_ref - 1)

(the first term alone for ``stages="hard"``; the last one for the refinement pass that
follows the Wiener stage, which searches the Wiener estimate again on a
grid of its own step). Each chunk is extended by ``depth`` = reach
rounded up to a multiple of ``unit`` = lcm(step_ht, step_wiener, step_ref), and the chunk boundaries
are moved to multiples of ``unit``: then every extended chunk starts on the whole volume's
reference grid, each chunk's interior sees exactly the reference blocks, search windows and
pilot samples that the whole-volume run sees, and the chunk's own border positions fall in
the trimmed margin. At the array's edges no margin is added (``boundary="none"``), so the
edge chunks share the whole volume's edges and border positions.

Under correlated noise (a PSD that is not flat), on images (2-D arrays) under any noise,
and on volumes whose white noise is large against the data (``profile.coarse_noise_ratio``:
decided once from the whole array, before the chunks run, and the same for every chunk),
with ``profile.multiscale``, each run also denoises a copy binned by 2 and adds to every
sample a correction interpolated from the binned cells at most one cell away, each cell
comparing the binned copy's estimate with the mean of two samples of the full estimate. A
sample then also depends on 2 * reach_coarse samples (reach_coarse: the formula above, the
same in binned samples) plus 3, and on the full estimate up to 3 samples away: the overlap is
2 * reach + 3 and the chunk boundaries move to multiples of 2 * unit, so that the binned
cells and the binned copy's reference grid line up with the whole array's.

What is exact: with one engine thread per run the chunked result equals the whole-volume
result bit for bit, but for one rounding: the refinement pass sums each sample's estimates
in double precision in an order that depends on where the run starts, so a sample can round
to the neighbouring float32 when its sum lies that close to a rounding boundary (a chance of
the order of 1e-9 per sample; none in the tests). With several engine threads the order in which the threads add blocks
into a sample varies from run to run (for the whole volume too), so the results agree to
rounding (a few float32 ulps) plus, rarely, a different choice between two blocks whose
distances differ by a rounding error. The noise model is one for the whole array: a given
sigma or PSD, or one estimate made before the chunks run.

Samples without data (NaN, Inf, outside a mask) come back unchanged in every chunk, and a
chunk without any data is passed through as it is. Around them the chunked result is close
to the whole-volume one but not bit for bit: each run fills non-finite samples from the
data it holds and processes only the box around its part of the mask.
"""

import copy
import math

import numpy as np
import dask.array as da

import kelvo

__all__ = ["denoise", "overlap_depth", "aligned_chunks"]

_AUTO_CROP_VOLUME = 128  # per axis, for sigma "auto" on a volume
_AUTO_CROP_IMAGE = 1024  # per axis, for sigma "auto" on an image


def _lcm(a, b):
    return a * b // math.gcd(a, b)


def overlap_depth(shape, profile=None, stages="all", noise="gaussian", correlated=False):
    """(depth, unit) per axis of an array of `shape` (NumPy axis order).

    depth: the margin each chunk needs on every side for its interior to match the
    whole-volume result; unit: the grid step that chunk boundaries must be multiples of.
    Magnitude data (noise "rician") need a few samples more: the clearing of the noise floor
    looks at the estimate around each sample. `correlated`: the noise is a PSD that is not
    flat, so that a profile with ``multiscale`` also runs the binned copy on volumes (on
    images it runs under any noise; see the module's notes); None takes the correlated
    defaults then. Under white noise a volume's binned copy runs where the noise is large
    against the data, which the shape alone does not tell: the depth counts it unless
    ``profile.coarse_noise_ratio`` is infinite (:func:`denoise` decides it first).
    """
    if len(shape) not in (2, 3):
        raise ValueError(f"arrays must have 2 or 3 dimensions (got shape {tuple(shape)})")
    if stages not in ("all", "both", "hard", "hard_thresholding"):
        raise ValueError(f"unknown stages {stages!r}")
    if profile is None:
        profile = kelvo.Profile.defaults(kelvo.is_volumetric(shape), bool(correlated))
    # The binned copy runs under correlated noise, on images under any noise, and on volumes
    # under white noise unless the ratio rules it out.
    multiscale = profile.multiscale and (bool(correlated) or not kelvo.is_volumetric(shape)
                                         or not math.isinf(profile.coarse_noise_ratio))
    used = [profile.hard_threshold]
    if stages in ("all", "both"):
        used.append(profile.wiener)
    ndim = len(shape)
    # The refinement pass after the Wiener stage (a PSD whose covariance within a block is
    # singular skips it: the margin is then wider than needed, never narrower).
    refine = (stages in ("all", "both") and profile.refinement.enabled
              and all(shape[ndim - 1 - d] >= profile.refinement.block_size[d]
                      for d in range(ndim)))
    depth, unit = [], []
    for axis in range(ndim):
        d = ndim - 1 - axis  # engine dimension of this axis
        floor = kelvo._kelvo.NOISE_FLOOR_RADIUS if noise == "rician" else 0
        reach, step = floor, 1
        for s in used:
            block = s.block_size[d]
            reach += max(0, 2 * s.search_radius[d] + block - 1)
            # The engine never steps further than a block.
            step = _lcm(step, max(1, min(s.step_size[d], block)))
        if multiscale and shape[axis] > 1:
            # The binned copy's reach counts twice (the noise floor's clearing comes after
            # the correction); the binned cells must start on even samples and the binned
            # copy's reference grid on the whole array's.
            reach = 2 * (reach - floor) + 3 + floor
            step *= 2
        if refine:
            # The refinement pass repeats the search on the Wiener estimate (its step may
            # exceed its block: its grid is the multiples of the step all the same).
            r = profile.refinement
            reach += max(0, 2 * r.search_radius[d] + r.block_size[d] - 1)
            step = _lcm(step, r.step_size[d])
        depth.append(-(-reach // step) * step)
        unit.append(step)
    return tuple(depth), tuple(unit)


def aligned_chunks(n, target, unit, depth):
    """Chunk sizes along one axis of length `n`: equal multiples of `unit` near `target`,
    each at least `depth` long. The size grows by `unit` until the remainder is empty or at
    least `depth` long, so the chunks stay regular (as zarr wants); failing that within
    twice the target, the short remainder joins the last chunk."""
    size = max(-(-max(1, int(target)) // unit) * unit, depth, unit)
    if size >= n:
        return (n,)
    for candidate in range(size, 2 * size + 1, unit):
        if candidate >= n:
            return (n,)
        rest = n % candidate
        if rest == 0 or rest >= depth:
            return (candidate,) * (n // candidate) + ((rest,) if rest else ())
    chunks = [size] * (n // size)
    chunks[-1] += n % size
    return tuple(chunks)


def _central_crop(array, limit):
    slices = []
    for n in array.shape:
        m = min(n, limit)
        start = ((n - m) // 2) & ~1  # even start keeps the Haar cells of the whole array
        slices.append(slice(start, start + m))
    return array[tuple(slices)]


def _relative_noise(arr, mask, sigma):
    """sigma over the data's own standard deviation, as kelvo.denoise measures it on the
    whole array: over the finite samples inside the mask, sqrt(max(0, variance - sigma^2));
    infinity where the variance does not exceed sigma^2. One pass over the array, its sums
    taken about the mean of a central crop so that they keep their precision."""
    x = arr.astype(np.float64)
    valid = da.isfinite(x)
    if mask is not None:
        valid &= mask
    crop = np.asarray(_central_crop(x, 64))
    crop = crop[np.isfinite(crop)]
    shift = float(crop.mean()) if crop.size else 0.0
    d = da.where(valid, x - shift, 0.0)
    n, s1, s2 = da.compute(valid.sum(), d.sum(), (d * d).sum())
    if n == 0:
        return math.inf
    variance = s2 / n - (s1 / n) ** 2 - sigma * sigma
    return sigma / math.sqrt(variance) if variance > 0 else math.inf


def _denoise_block(block, mask=None, *, sigma, psd, profile, stages, noise="gaussian",
                   coils=1):
    has_data = np.isfinite(block)
    if mask is not None:
        has_data &= mask != 0
    if not has_data.any():  # nothing to denoise here (a background chunk)
        return block.astype(np.float32)
    return kelvo.denoise(block, sigma if psd is None else psd, profile=profile, stages=stages,
                         noise=noise, coils=coils, mask=mask)


def _denoise_colour_block(block, mask=None, *, noise, profile, stages, axis, mix):
    has_data = np.all(np.isfinite(block), axis=axis)
    if mask is not None:
        has_data &= np.any(mask != 0, axis=axis)
    if not has_data.any():  # nothing to denoise here (a background chunk)
        return block.astype(np.float32)
    return kelvo._denoise_channels(np.asarray(block), axis, noise, profile, stages, 0, None,
                                   False, mask, mix)


def _denoise_colour(arr, sigma_or_psd, profile, stages, threads, chunks, mask, channel_axis,
                    noise, coils):
    """denoise() of an image with channels along `channel_axis`: the channels stay whole in
    every chunk, and the whole image's central crop decides once whether they are
    decorrelated (and gives each channel's sigma for "auto")."""
    rician, _ = kelvo._distribution(noise, coils)
    axis = kelvo._channel_axis(arr, channel_axis, rician)
    image_shape = kelvo._image_shape(arr.shape, axis)
    crop = np.ascontiguousarray(_central_crop(arr, _AUTO_CROP_IMAGE), dtype=np.float32)
    crop_mask = None if mask is None else kelvo._mask_for(
        np.asarray(_central_crop(mask, _AUTO_CROP_IMAGE)), crop.shape)
    sigmas, psd = kelvo._channel_noise(
        arr.shape, axis, sigma_or_psd,
        lambda: kelvo._kelvo._estimate_channel_noise(crop, axis, crop_mask))
    if psd is not None:
        psd = np.ascontiguousarray(psd, dtype=np.float32)
    profile = kelvo._profile_for(image_shape, profile, threads, psd,
                                 f"the array without its channel axis {axis}")
    mix = kelvo._kelvo._channels_share_structure(crop, axis, sigmas, psd, crop_mask)
    correlated = kelvo._is_correlated(psd)
    depth, unit = (list(v) for v in overlap_depth(image_shape, profile, stages, "gaussian",
                                                  correlated))
    depth.insert(axis, 0)
    unit.insert(axis, 1)
    # The channels of a pixel stay together.
    return _map_chunks(_denoise_colour_block, arr, mask, depth, unit, chunks, whole=axis,
                       noise=sigmas if psd is None else psd, profile=profile, stages=stages,
                       axis=axis, mix=mix)


def _map_chunks(block_function, arr, mask, depth, unit, chunks, whole=None, **kwargs):
    """`block_function` over `arr` (and `mask`) in chunks near `chunks` (None: the array's
    largest) realigned to `unit` and extended by `depth` (see the module's notes); along axis
    `whole` the array stays in one chunk."""
    target = [max(c) for c in arr.chunks] if chunks is None else list(chunks)
    if len(target) != arr.ndim:
        raise ValueError("chunks needs one size per axis")
    if whole is not None:
        target[whole] = arr.shape[whole]
    new_chunks = tuple(aligned_chunks(n, t, u, d)
                       for n, t, u, d in zip(arr.shape, target, unit, depth))
    if new_chunks != arr.chunks:
        arr = arr.rechunk(new_chunks)
    # No margin along an axis held in one chunk (dask wants depth <= the chunk size).
    depth = {axis: (depth[axis] if len(new_chunks[axis]) > 1 else 0)
             for axis in range(arr.ndim)}
    arrays = [arr] if mask is None else [arr, mask.rechunk(new_chunks)]
    return da.map_overlap(
        block_function, *arrays, depth=depth, boundary="none", trim=True, dtype=np.float32,
        meta=np.empty((0,) * arr.ndim, dtype=np.float32), **kwargs)


def denoise(array, sigma_or_psd=None, profile=None, stages="all", threads=0, chunks=None,
            noise="gaussian", coils=1, mask=None, channel_axis=None):
    """Denoise a dask array (or anything ``dask.array.asarray`` accepts) chunk by chunk.

    Returns a lazy float32 dask array of the same shape; call ``.compute()``,
    ``.to_zarr(...)`` or ``dask.array.store`` on it. Arguments are those of
    :func:`kelvo.denoise`, with:

    sigma_or_psd: a number (white noise), a PSD array, or None / "auto": the standard
        deviation is then estimated once, from a central crop of the array (at most 128
        samples per axis for a volume, 1024 for an image), and used for every chunk.
    threads: engine threads per chunk (0: ``profile.num_threads``, itself 0 = every core of
        the worker). Runs in one process are serialised, so give workers one dask thread
        each and let the engine use their cores.
    chunks: target chunk shape (NumPy axis order); None keeps the array's largest chunks.
        Chunks are realigned to multiples of the profile's grid step and made at least as
        long as the overlap (see the module's notes).
    noise, coils: the noise distribution, as in :func:`kelvo.denoise`.
    mask: None or an array (dask or NumPy) of the array's shape, non-zero inside; samples
        outside are copied unchanged and left out of the "auto" estimate.
    channel_axis: None, or the axis of a 3-D array that holds the channels of a colour image
        (see :func:`kelvo.denoise`). Chunks keep every channel; the central crop (at most
        1024 pixels per axis) decides once whether the channels are decorrelated, and gives
        each channel's sigma for "auto".
    """
    arr = da.asarray(array)
    if arr.ndim not in (2, 3):
        raise ValueError(f"arrays must have 2 or 3 dimensions (got shape {arr.shape})")
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"the array must have a real float or integer dtype (got {arr.dtype})")
    kelvo._distribution(noise, coils)
    if mask is not None:
        mask = da.asarray(mask)
        if mask.shape != arr.shape:
            raise ValueError(f"mask has shape {mask.shape} but the array has shape "
                             f"{arr.shape}: pass a mask of the same shape (non-zero = inside)")
        if mask.dtype.kind not in "biuf":
            raise TypeError(f"mask must be a boolean or numeric array (got {mask.dtype})")
        mask = mask != 0
    if channel_axis is not None:
        return _denoise_colour(arr, sigma_or_psd, profile, stages, threads, chunks, mask,
                               channel_axis, noise, coils)
    if sigma_or_psd is None or (isinstance(sigma_or_psd, str) and sigma_or_psd == "auto"):
        limit = _AUTO_CROP_VOLUME if kelvo.is_volumetric(arr.shape) else _AUTO_CROP_IMAGE
        crop_mask = None if mask is None else np.asarray(_central_crop(mask, limit))
        sigma = kelvo.estimate_noise(np.asarray(_central_crop(arr, limit)), mask=crop_mask,
                                     noise=noise, coils=coils)
        psd = None
    else:
        sigma, psd = kelvo._noise(None, sigma_or_psd)
        if psd is not None:
            kelvo._check_psd_axes(psd.shape, arr.shape)
            psd = np.ascontiguousarray(psd, dtype=np.float32)
    # No profile: the defaults kelvo.denoise would pick for the whole array and this noise
    # (those of correlated noise for a PSD that is not flat).
    profile = kelvo._profile_for(arr.shape, profile, threads, psd, "array")

    correlated = kelvo._is_correlated(psd)
    ratio = profile.coarse_noise_ratio
    if (profile.multiscale and not correlated and kelvo.is_volumetric(arr.shape)
            and 0 < ratio < math.inf):
        # The whole array decides whether the binned copy runs; every chunk then follows.
        white = sigma if psd is None else math.sqrt(float(np.mean(psd, dtype=np.float64))
                                                    / psd.size)
        profile = copy.copy(profile)  # never modify the caller's profile
        profile.coarse_noise_ratio = (
            0.0 if _relative_noise(arr, mask, white) >= ratio else math.inf)
    depth, unit = overlap_depth(arr.shape, profile, stages, noise, correlated)
    return _map_chunks(_denoise_block, arr, mask, depth, unit, chunks, sigma=sigma, psd=psd,
                       profile=profile, stages=stages, noise=noise, coils=coils)
