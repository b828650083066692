"""Kelvo: removal of Gaussian noise, white or correlated, from 3-D volumes and 2-D images by
block matching and collaborative filtering; also of the magnitude (Rician) noise of MRI.

Axes
----
Arrays are NumPy arrays of shape ``(Z, Y, X)`` (a volume) or ``(H, W)`` (an image), indexed
as NumPy users expect: the last axis is x (the engine's dimension 0, fastest in C order),
the one before it y, the first one z. A 3-D array whose first axis has length 1 is treated
as an image. :func:`denoise` also takes a series of volumes ``(T, Z, Y, X)`` and denoises
it volume by volume. Memory order does not matter: Fortran-ordered or strided input is read
through the same axes (at the cost of one copy). The per-dimension tuples of
:class:`Profile` (block size, step, search radius, FFT size, ...) are written in (x, y, z)
order, the reverse of the NumPy axes. A PSD given as an array is in the same axes as `z`:
its shape is ``(Fz, Fy, Fx)`` or ``(Fy, Fx)`` and its value at index ``(kz, ky, kx)`` is
``E|DFT(noise)|^2`` at that frequency, as ``numpy.fft.fftn`` numbers them.

Samples without data
--------------------
NaN and infinite samples, and samples outside `mask`, carry no data: they take no part in
noise estimation and come back in the output exactly as they were (NaN stays NaN). For the
block processing the engine fills non-finite samples from their finite neighbours.

Functions
---------
denoise(z, sigma_or_psd, profile=None, stages="all", threads=0, progress=None,
        noise="gaussian", coils=1, mask=None, channel_axis=None)
estimate_noise(z, mask=None, noise="gaussian", coils=1, channel_axis=None)
estimate_noise_psd(z, grid=None, mask=None, noise="gaussian", coils=1)
kelvo.dask.denoise(array, ...) for chunked (dask) arrays larger than memory.
"""

import copy
import numbers

import numpy as np

from ._kelvo import Cancelled, Profile, RefinementProfile, StageProfile
from . import _kelvo

__all__ = [
    "Cancelled",
    "Profile",
    "RefinementProfile",
    "StageProfile",
    "denoise",
    "estimate_noise",
    "estimate_noise_psd",
    "is_volumetric",
]

_STAGES = {"all": False, "both": False, "hard": True, "hard_thresholding": True}
_NOISE = {"gaussian": False, "rician": True}


def _real_array(z, what="z", series=False):
    """`z` as an ndarray of a real float or integer dtype with 2 or 3 dimensions (or 4, a
    series of volumes, when `series` is true)."""
    a = np.asarray(z)
    if a.dtype.kind not in "fiub":
        raise TypeError(f"{what} must have a real float or integer dtype (got {a.dtype})")
    if series and a.ndim == 4:
        return a
    if a.ndim not in (2, 3):
        forms = "(H, W), (Z, Y, X) or (T, Z, Y, X)" if series else "(H, W) or (Z, Y, X)"
        raise ValueError(f"{what} must have {'2 to 4' if series else '2 or 3'} dimensions, "
                         f"{forms} (got shape {a.shape})")
    return a


def is_volumetric(shape):
    """True when an array of `shape` is a volume (3 axes, depth > 1), false for an image."""
    return len(shape) == 3 and shape[0] > 1


def _distribution(noise, coils):
    """(rician, coils) for the compiled core, after checking the user's values."""
    if not isinstance(noise, str) or noise not in _NOISE:
        raise ValueError(f"noise must be 'gaussian' or 'rician' (got {noise!r})")
    if isinstance(coils, bool) or not isinstance(coils, numbers.Integral) or coils < 1:
        raise ValueError(f"coils must be an integer >= 1 (got {coils!r})")
    if coils != 1 and not _NOISE[noise]:
        raise ValueError(f"coils={coils} describes magnitude data: pass noise='rician' "
                         f"with it (Gaussian noise has no coils)")
    return _NOISE[noise], int(coils)


def _mask_for(mask, shape, what="z"):
    """`mask` as a C-ordered uint8 array of `shape` (1 = inside), or None."""
    if mask is None:
        return None
    m = np.asarray(mask)
    if m.dtype.kind not in "biuf":
        raise TypeError(f"mask must be a boolean or numeric array (got {m.dtype})")
    if m.shape != tuple(shape):
        raise ValueError(f"mask has shape {m.shape} but {what} has shape {tuple(shape)}: "
                         f"pass a mask of the same shape (non-zero = inside)")
    return np.ascontiguousarray(m != 0, dtype=np.uint8)


def _check_psd_axes(psd_shape, shape):
    """Refuses, in the caller's axes, a 3-D PSD for a 2-D image (such as (Fy, Fx, 1)), and a
    PSD of the volume's full size whose shape fits only the reversed axes: it was almost
    certainly written in (x, y, z) order and would be read with its axes swapped."""
    vol, psd = tuple(shape), tuple(psd_shape)
    if (len(vol) == 2 or vol[0] == 1) and len(psd) == 3 and psd[0] != 1:
        hint = "; pass psd[..., 0]" if psd[-1] == 1 else ""
        raise ValueError(
            f"the PSD has shape {psd}, but z of shape {vol} is a 2-D image: its PSD is 2-D, "
            f"(Fy, Fx) or (1, Fy, Fx){hint}")
    if len(vol) == 3 and vol[0] == 1 and len(psd) == 2:
        vol = vol[1:]
    if len(psd) == 3 and psd[0] == 1 and len(vol) == 2:
        psd = psd[1:]
    if psd != vol and psd == vol[::-1]:
        raise ValueError(
            f"the PSD has shape {tuple(psd_shape)}, the volume's shape {tuple(shape)} "
            f"reversed: a PSD is read in the same axes as z, here {tuple(shape)}; if it was "
            f"saved in (x, y, z) order, pass psd.transpose() instead")


def _noise(z, sigma_or_psd, mask=None, rician=False, coils=1):
    """(sigma, psd) for the compiled core: psd is None for white noise. `z` may be None when
    sigma_or_psd is not "auto"; else it is the array (2-D or 3-D) that is estimated."""
    if sigma_or_psd is None or (isinstance(sigma_or_psd, str) and sigma_or_psd == "auto"):
        return _kelvo._estimate_noise(z, mask, rician, coils), None
    if isinstance(sigma_or_psd, str):
        raise ValueError(f"sigma_or_psd must be a number, an array or 'auto' "
                         f"(got {sigma_or_psd!r})")
    if isinstance(sigma_or_psd, numbers.Real):
        return float(sigma_or_psd), None
    psd = np.asarray(sigma_or_psd)
    if psd.ndim == 0:
        return _noise(z, psd.item(), mask, rician, coils)
    if psd.dtype.kind not in "fiu":
        raise TypeError(f"the PSD must have a real dtype (got {psd.dtype})")
    if psd.ndim not in (2, 3):
        raise ValueError(f"the PSD must have 2 or 3 dimensions, (Fy, Fx) or (Fz, Fy, Fx) "
                         f"(got shape {psd.shape})")
    if z is not None:
        _check_psd_axes(psd.shape, z.shape)
    return 0.0, psd


def _is_correlated(psd):
    """Whether `psd` (None for white noise) is not flat: correlated noise, which has its own
    defaults."""
    return psd is not None and psd.size > 0 and float(np.ptp(psd)) > 1e-6 * float(np.max(psd))


def _image_shape(shape, axis):
    """`shape` without its channel axis `axis`."""
    return tuple(n for k, n in enumerate(shape) if k != axis)


def _profile_for(shape, profile, threads, psd=None, what="z"):
    if profile is None:
        profile = Profile.defaults(is_volumetric(shape), _is_correlated(psd))
    elif not isinstance(profile, Profile):
        raise TypeError(f"profile must be a kelvo.Profile (got {type(profile).__name__})")
    if not isinstance(threads, numbers.Integral) or threads < 0:
        raise ValueError(f"threads must be an integer >= 0 (got {threads!r})")
    if threads:
        profile = copy.copy(profile)  # never modify the caller's profile
        profile.num_threads = int(threads)
    _check_single_sample_axes(shape, profile, what)
    return profile


def _check_single_sample_axes(shape, profile, what):
    """Refuses, in the caller's axes, an axis of one sample where the blocks are larger (an
    axis of two or more samples thinner than the blocks gets blocks that fit it)."""
    dims = shape if is_volumetric(shape) else shape[-2:]
    offset = len(shape) - len(dims)
    for k, n in enumerate(dims):
        d = len(dims) - 1 - k  # the engine's dimension: the last axis is x
        block = max(profile.hard_threshold.block_size[d], profile.wiener.block_size[d])
        if n == 1 and block > 1:
            axis = offset + k
            raise ValueError(
                f"{what} has shape {tuple(shape)}: one sample along axis {axis} "
                f"({'xyz'[d]}), where the blocks hold {block}; pass at least 2 samples "
                f"along it, or drop that axis (np.squeeze(z, axis={axis})) to denoise a "
                f"{len(dims) - 1}-D array")


def denoise(z, sigma_or_psd=None, profile=None, stages="all", threads=0, progress=None,
            noise="gaussian", coils=1, mask=None, channel_axis=None):
    """Denoise a volume ``(Z, Y, X)``, an image ``(H, W)``, a series of volumes
    ``(T, Z, Y, X)`` or, with `channel_axis`, a colour image ``(H, W, C)``; returns float32,
    same shape.

    z: array of any real float or integer dtype, any memory order (see the module's notes
        on axes). NaN and infinite samples are allowed: they carry no data and come back
        unchanged. A 4-D array is denoised volume by volume, exactly as T separate calls.
        Along an axis thinner than the profile's blocks (a stack of two or three slices)
        the blocks shrink to fit; another axis of one sample than the first of a (1, H, W)
        image is refused (squeeze it).
    sigma_or_psd: the noise. A number is the standard deviation of white noise (in the
        units of `z`; for noise="rician", of the noise in each real and imaginary channel);
        an array is a PSD in the same axes as `z` (see the module's notes); None or "auto"
        estimates the standard deviation with :func:`estimate_noise`, for each volume of a
        series separately.
    profile: a :class:`Profile`; None takes ``Profile.defaults(volumetric, correlated)``,
        correlated when `sigma_or_psd` is a PSD that is not flat.
    stages: "all" (hard thresholding, then Wiener filtering, then under white noise the
        refinement pass of ``profile.refinement``) or "hard" (hard thresholding alone:
        faster, coarser).
    threads: worker threads; 0 keeps ``profile.num_threads`` (itself 0 = every core).
    progress: None or a callable ``progress(stage, fraction)`` with stage 0 (hard
        thresholding) or 1 (Wiener) and fraction in [0, 1]. It is called with the GIL
        held from the engine's threads. If it raises, the run is cancelled and that
        exception propagates out of ``denoise``. For a series, fraction covers the whole
        series: volume t of T reports (t + f) / T.
    noise: "gaussian" (additive noise) or "rician" (magnitude data, such as MRI magnitude
        images: the noise is Gaussian in the complex channels before the magnitude).
    coils: receiver channels combined into each magnitude (noise="rician" only):
        1 gives Rician noise, N > 1 noncentral chi noise.
    mask: None or an array of z's shape (or of one volume's shape for a series), non-zero
        inside: samples outside are copied to the output unchanged and are not used to
        estimate the noise.
    channel_axis: None, or the axis of a 3-D `z` that holds the channels of a 2-D image
        (-1 for an RGB image (H, W, 3), as scikit-image writes it). Channels that share
        their structure (as colours do) are decorrelated by the orthonormal DCT across them
        (for RGB the opponent colour transform), others are left unmixed, and each is
        denoised as an image (the decorrelated ones on the groups of blocks of the first):
        on colour photographs 1.2 dB above denoising (H, W, 3) as a volume three samples
        wide, on average. The noise is independent between channels: `sigma_or_psd` is one
        sigma, one sigma per channel (a sequence), a 2-D PSD ``(Fy, Fx)`` that every
        channel's noise has, or "auto" (each channel's sigma estimated). A pixel with a non-finite sample in any channel comes back
        unchanged in every channel. noise="rician" is refused.

    The GIL is released while the engine runs; runs from several Python threads are
    serialised (the engine uses every core already). Ctrl-C cancels a run started from the
    main thread. Raises ValueError for bad arguments (sizes, profile, noise, mask),
    TypeError for unsupported dtypes, MemoryError when memory runs out.
    """
    a = _real_array(z, series=True)
    if stages not in _STAGES:
        raise ValueError(f"stages must be one of {sorted(_STAGES)} (got {stages!r})")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    rician, coils = _distribution(noise, coils)
    if channel_axis is not None:
        return _denoise_channels(a, channel_axis, sigma_or_psd, profile, stages, threads,
                                 progress, rician, mask)
    if a.ndim == 4:
        return _denoise_series(a, sigma_or_psd, profile, stages, threads, progress, rician,
                               coils, mask)
    m = _mask_for(mask, a.shape)
    sigma, psd = _noise(a, sigma_or_psd, m, rician, coils)
    profile = _profile_for(a.shape, profile, threads, psd)
    return _kelvo._denoise(a, sigma, psd, profile, _STAGES[stages], progress, rician, coils, m)


def _denoise_series(a, sigma_or_psd, profile, stages, threads, progress, rician, coils, mask):
    count, shape = a.shape[0], a.shape[1:]
    if count == 0:
        raise ValueError(f"z has shape {a.shape}: a series (T, Z, Y, X) needs at least one "
                         f"volume")
    if mask is not None and np.ndim(mask) == 4:
        masks = _mask_for(mask, a.shape)
    else:
        masks = [_mask_for(mask, shape, "each volume of z")] * count
    fixed = None
    if not (sigma_or_psd is None or (isinstance(sigma_or_psd, str) and sigma_or_psd == "auto")):
        fixed = _noise(a[0], sigma_or_psd)  # one check of the PSD, shared by every volume
    profile = _profile_for(shape, profile, threads, fixed[1] if fixed else None,
                           "each volume of z")
    out = np.empty(a.shape, np.float32)
    for t in range(count):
        hook = None
        if progress is not None:
            def hook(stage, fraction, t=t):
                progress(stage, (t + fraction) / count)
        sigma, psd = fixed or _noise(a[t], None, masks[t], rician, coils)
        out[t] = _kelvo._denoise(a[t], sigma, psd, profile, _STAGES[stages], hook, rician,
                                 coils, masks[t])
    return out


def _channel_axis(a, channel_axis, rician):
    """The channel axis (0 to 2) of an image with channels, after checking the arguments."""
    if a.ndim != 3:
        raise ValueError(f"channel_axis is given, so z must be a 2-D image with channels, "
                         f"3 axes such as (H, W, C) (got shape {a.shape})")
    if (isinstance(channel_axis, bool) or not isinstance(channel_axis, numbers.Integral)
            or not -3 <= channel_axis < 3):
        raise ValueError(f"channel_axis must be an axis of z, -3 to 2 (got {channel_axis!r})")
    if rician:
        raise ValueError("noise='rician' cannot be combined with channel_axis: magnitude "
                         "noise is not additive, so denoise each channel on its own")
    return int(channel_axis) % 3


def _channel_noise(shape, axis, sigma_or_psd, estimate):
    """(sigmas, psd) for an image with channels along `axis`: psd None and one sigma, or one
    per channel (`estimate()` gives them for "auto"), or a 2-D PSD and [0.0]."""
    channels = shape[axis]
    if sigma_or_psd is None or (isinstance(sigma_or_psd, str) and sigma_or_psd == "auto"):
        return list(estimate()), None
    if np.ndim(sigma_or_psd) == 1:
        sigmas = [float(s) for s in np.asarray(sigma_or_psd, dtype=np.float64)]
        if len(sigmas) != channels:
            raise ValueError(f"sigma_or_psd holds {len(sigmas)} sigmas, but z has {channels} "
                             f"channels along axis {axis}: pass one sigma, or one per channel")
        return sigmas, None
    sigma, psd = _noise(None, sigma_or_psd)
    if psd is not None:
        if psd.ndim != 2:
            raise ValueError(f"the PSD of an image with channels is 2-D, (Fy, Fx), on the "
                             f"image's axes (got shape {psd.shape})")
        _check_psd_axes(psd.shape, _image_shape(shape, axis))
    return [sigma], psd


_MIXING = {None: 0, True: 1, False: 2}


def _denoise_channels(a, channel_axis, sigma_or_psd, profile, stages, threads, progress,
                      rician, mask, mix=None):
    """kelvo.denoise with `channel_axis`; `mix` None lets the image decide whether its
    channels are decorrelated, True / False forces it (kelvo.dask decides once)."""
    axis = _channel_axis(a, channel_axis, rician)
    m = _mask_for(mask, a.shape)
    sigmas, psd = _channel_noise(a.shape, axis, sigma_or_psd,
                                 lambda: _kelvo._estimate_channel_noise(a, axis, m))
    profile = _profile_for(_image_shape(a.shape, axis), profile, threads, psd,
                           f"z without its channel axis {axis}")
    return _kelvo._denoise_channels(a, axis, sigmas, psd, profile, _STAGES[stages], progress, m,
                                    _MIXING[mix])


def estimate_noise(z, mask=None, noise="gaussian", coils=1, channel_axis=None):
    """Standard deviation of white Gaussian noise in `z` (float).

    Median absolute deviation of the finest-scale Haar detail coefficients (diagonal detail
    of 2x2 cells for an image, all-high-pass detail of 2x2x2 cells for a volume), divided
    by 0.6745. It sees only the highest frequencies: for correlated noise use
    :func:`estimate_noise_psd`. Cells that touch a sample without data (NaN, infinite,
    outside `mask`) or a run of an exactly repeated value (a zeroed background) are left
    out; ValueError when too few informative samples remain. With noise="rician" the
    result is the standard deviation of the noise in each complex channel (see
    :func:`denoise` for `noise`, `coils` and `mask`). A series ``(T, Z, Y, X)`` gives an
    array of T estimates; an image with channels along `channel_axis` (see :func:`denoise`)
    an array of one estimate per channel, each from that channel's image.
    """
    a = _real_array(z, series=True)
    rician, coils = _distribution(noise, coils)
    if channel_axis is not None:
        axis = _channel_axis(a, channel_axis, rician)
        return np.array(_kelvo._estimate_channel_noise(a, axis, _mask_for(mask, a.shape)))
    if a.ndim == 4:
        if mask is not None and np.ndim(mask) == 4:
            masks = _mask_for(mask, a.shape)
        else:
            masks = [_mask_for(mask, a.shape[1:], "each volume of z")] * a.shape[0]
        return np.array([_kelvo._estimate_noise(v, m, rician, coils)
                         for v, m in zip(a, masks)])
    return _kelvo._estimate_noise(a, _mask_for(mask, a.shape), rician, coils)


def estimate_noise_psd(z, grid=None, mask=None, noise="gaussian", coils=1):
    """PSD of the noise in `z` on a grid of shape `grid` (NumPy axis order), float32.

    grid: one side per axis of `z`, 1 or a power of two from 4 to 64, each at most the extent
    of `z`; None takes the FFT grid of the default profile (8x8x8 for a volume, 32x32 for an
    image), each side reduced to the largest power of two that fits `z`, or to 1 (noise
    taken as uncorrelated along that axis) where not even 4 fit, as in a stack of two or
    three slices. The result can be passed to :func:`denoise`
    as `sigma_or_psd` (with the same `noise` and `coils`). Flat regions must make up at
    least a quarter of the volume; patches with samples without data are left out (see
    :func:`estimate_noise`).
    """
    a = _real_array(z)
    rician, coils = _distribution(noise, coils)
    fit = grid is None
    if fit:
        fft = Profile.defaults(is_volumetric(a.shape)).fft_size  # (x, y, z)
        grid = fft[a.ndim - 1::-1]
    grid = tuple(int(g) for g in grid)
    return _kelvo._estimate_noise_psd(a, grid, _mask_for(mask, a.shape), rician, coils, fit)


def __getattr__(name):
    # `kelvo.dask` is imported on first use so that `import kelvo` does not need dask.
    if name == "dask":
        import importlib
        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module 'kelvo' has no attribute {name!r}")
