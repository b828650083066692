"""Kelvo: removal of additive Gaussian noise, white or correlated, from 3-D volumes and
2-D images by block matching and collaborative filtering.

Axes
----
Arrays are NumPy arrays of shape ``(Z, Y, X)`` (a volume) or ``(H, W)`` (an image), indexed
as NumPy users expect: the last axis is x (the engine's dimension 0, fastest in C order),
the one before it y, the first one z. A 3-D array whose first axis has length 1 is treated
as an image. Memory order does not matter: Fortran-ordered or strided input is read through
the same axes (at the cost of one copy). The per-dimension tuples of :class:`Profile`
(block size, step, search radius, FFT size, ...) are written in (x, y, z) order, the reverse
of the NumPy axes. A PSD given as an array follows the NumPy convention too: its shape is
``(Fz, Fy, Fx)`` or ``(Fy, Fx)`` and its value at index ``(kz, ky, kx)`` is
``E|DFT(noise)|^2`` at that frequency, as ``numpy.fft.fftn`` numbers them.

Functions
---------
denoise(z, sigma_or_psd, profile=None, stages="all", threads=0, progress=None)
estimate_noise(z) / estimate_noise_psd(z, grid=None)
kelvo.dask.denoise(array, ...) for chunked (dask) arrays larger than memory.
"""

import copy
import numbers

import numpy as np

from ._kelvo import Cancelled, Profile, StageProfile
from . import _kelvo

__all__ = [
    "Cancelled",
    "Profile",
    "StageProfile",
    "denoise",
    "estimate_noise",
    "estimate_noise_psd",
    "is_volumetric",
]

_STAGES = {"all": False, "both": False, "hard": True, "hard_thresholding": True}


def _real_array(z, what="z"):
    """`z` as an ndarray of a real float or integer dtype with 2 or 3 dimensions."""
    a = np.asarray(z)
    if a.dtype.kind not in "fiub":
        raise TypeError(f"{what} must have a real float or integer dtype (got {a.dtype})")
    if a.ndim not in (2, 3):
        raise ValueError(f"{what} must have 2 or 3 dimensions, (H, W) or (Z, Y, X) "
                         f"(got shape {a.shape})")
    return a


def is_volumetric(shape):
    """True when an array of `shape` is a volume (3 axes, depth > 1), false for an image."""
    return len(shape) == 3 and shape[0] > 1


def _noise(z, sigma_or_psd):
    """(sigma, psd) for the compiled core: psd is None for white noise."""
    if sigma_or_psd is None or (isinstance(sigma_or_psd, str) and sigma_or_psd == "auto"):
        return estimate_noise(z), None
    if isinstance(sigma_or_psd, str):
        raise ValueError(f"sigma_or_psd must be a number, an array or 'auto' "
                         f"(got {sigma_or_psd!r})")
    if isinstance(sigma_or_psd, numbers.Real):
        return float(sigma_or_psd), None
    psd = np.asarray(sigma_or_psd)
    if psd.ndim == 0:
        return _noise(z, psd.item())
    if psd.dtype.kind not in "fiu":
        raise TypeError(f"the PSD must have a real dtype (got {psd.dtype})")
    if psd.ndim not in (2, 3):
        raise ValueError(f"the PSD must have 2 or 3 dimensions, (Fy, Fx) or (Fz, Fy, Fx) "
                         f"(got shape {psd.shape})")
    return 0.0, psd


def _profile_for(shape, profile, threads, psd=None):
    if profile is None:
        # A PSD that is not flat describes correlated noise, which has its own defaults.
        correlated = (psd is not None and psd.size > 0
                      and float(np.ptp(psd)) > 1e-6 * float(np.max(psd)))
        profile = Profile.defaults(is_volumetric(shape), correlated)
    elif not isinstance(profile, Profile):
        raise TypeError(f"profile must be a kelvo.Profile (got {type(profile).__name__})")
    if not isinstance(threads, numbers.Integral) or threads < 0:
        raise ValueError(f"threads must be an integer >= 0 (got {threads!r})")
    if threads:
        profile = copy.copy(profile)  # never modify the caller's profile
        profile.num_threads = int(threads)
    return profile


def denoise(z, sigma_or_psd=None, profile=None, stages="all", threads=0, progress=None):
    """Denoise a volume ``(Z, Y, X)`` or an image ``(H, W)``; returns float32, same shape.

    z: array of any real float or integer dtype, any memory order (see the module's notes
        on axes). Samples must be finite.
    sigma_or_psd: the noise. A number is the standard deviation of white noise (in the
        units of `z`); an array is a PSD in NumPy axis order (see the module's notes);
        None or "auto" estimates the standard deviation of white noise with
        :func:`estimate_noise`.
    profile: a :class:`Profile`; None takes ``Profile.defaults(volumetric, correlated)``,
        correlated when `sigma_or_psd` is a PSD that is not flat.
    stages: "all" (hard thresholding, then Wiener filtering) or "hard" (hard thresholding
        alone: faster, coarser).
    threads: worker threads; 0 keeps ``profile.num_threads`` (itself 0 = every core).
    progress: None or a callable ``progress(stage, fraction)`` with stage 0 (hard
        thresholding) or 1 (Wiener) and fraction in [0, 1]. It is called with the GIL
        held from the engine's threads. If it raises, the run is cancelled and that
        exception propagates out of ``denoise``.

    The GIL is released while the engine runs; runs from several Python threads are
    serialised (the engine uses every core already). Ctrl-C cancels a run started from the
    main thread. Raises ValueError for bad arguments (sizes, profile, noise, non-finite
    samples), TypeError for unsupported dtypes, MemoryError when memory runs out.
    """
    a = _real_array(z)
    if stages not in _STAGES:
        raise ValueError(f"stages must be one of {sorted(_STAGES)} (got {stages!r})")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    sigma, psd = _noise(a, sigma_or_psd)
    profile = _profile_for(a.shape, profile, threads, psd)
    return _kelvo._denoise(a, sigma, psd, profile, _STAGES[stages], progress)


def estimate_noise(z):
    """Standard deviation of white Gaussian noise in `z` (float).

    Median absolute deviation of the finest-scale Haar detail coefficients (diagonal detail
    of 2x2 cells for an image, all-high-pass detail of 2x2x2 cells for a volume), divided
    by 0.6745. It sees only the highest frequencies: for correlated noise use
    :func:`estimate_noise_psd`.
    """
    return _kelvo._estimate_noise(_real_array(z))


def estimate_noise_psd(z, grid=None):
    """PSD of the noise in `z` on a grid of shape `grid` (NumPy axis order), float32.

    grid: one power of two per axis of `z`, each at most the extent of `z`; None takes the
    FFT grid of the default profile (8x8x8 for a volume, 32x32 for an image, reduced to
    the largest power of two that fits `z`). The result can be passed to :func:`denoise`
    as `sigma_or_psd`. Flat regions must make up at least a quarter of the volume.
    """
    a = _real_array(z)
    if grid is None:
        fft = Profile.defaults(is_volumetric(a.shape)).fft_size  # (x, y, z)
        grid = []
        for axis, n in enumerate(a.shape):
            g = fft[a.ndim - 1 - axis] if a.ndim - 1 - axis < 3 else 1
            while g > 1 and g > n:
                g //= 2
            grid.append(max(1, g))
    grid = tuple(int(g) for g in grid)
    return _kelvo._estimate_noise_psd(a, grid)


def __getattr__(name):
    # `kelvo.dask` is imported on first use so that `import kelvo` does not need dask.
    if name == "dask":
        import importlib
        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module 'kelvo' has no attribute {name!r}")
