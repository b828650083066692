"""Test data and quality figures shared by the quality sweep and the comparison script.

Everything here is deterministic: phantoms are generated from closed-form shapes, noise
comes from numpy's PCG64 generator with a fixed, printed seed. Arrays use NumPy axis order:
a volume is (Z, Y, X), an image (H, W); values of the clean data lie in [0, 1], so PSNR is
taken for a peak of 1.

Correlated noise is white noise filtered along every axis by the separable kernel
CORRELATION_KERNEL (circular boundaries), scaled so that its standard deviation is sigma;
the other kinds of KERNELS filter with other kernels, "kspace" along the last axis only.
Its PSD on a grid F is known in closed form (the kernels' spectra sampled at F points; every
kernel is at most 5 taps long, so its autocorrelation fits the default grids of 8);
`noise_psd` returns it in kelvo's convention (E|DFT(noise)|^2 on the grid, white noise of
variance s^2 is the constant s^2 * prod(F)).
"""

import os
import sys

import numpy as np

# Low-pass kernel of the correlated noise (unit L2 norm per axis, so the filtered noise keeps
# the white noise's variance). Its autocorrelation spans 5 samples: PSD grids of 8 and more
# along each axis sample the spectrum without aliasing.
CORRELATION_KERNEL = np.array([1.0, 2.0, 1.0]) / np.sqrt(6.0)

# Box kernel of the "box" noise: every axis averaged over 3 samples (a 3x3x3 or 3x3 box),
# scaled to unit L2 norm. Its autocorrelation also spans 5 samples.
BOX_KERNEL = np.ones(3) / np.sqrt(3.0)

# Gaussian-filtered noise: a Gaussian of width (standard deviation) 1 sample, 5 taps.
GAUSS_KERNEL = np.exp(-0.5 * np.arange(-2.0, 3.0) ** 2)
GAUSS_KERNEL /= np.linalg.norm(GAUSS_KERNEL)

# Noise as zero-filling k-space to twice the size along one axis gives (MRI): a short
# interpolating kernel whose autocorrelation is close to sinc(lag / 2) (0.61 at lag 1, near 0
# at 2, -0.05 at 3), applied along the last axis (x) only.
KSPACE_KERNEL = np.array([-0.08, 0.5, 1.0, 0.5, -0.08])
KSPACE_KERNEL /= np.linalg.norm(KSPACE_KERNEL)

SIGMAS = (0.05, 0.10, 0.15)
NOISE_KINDS = ("white", "correlated")
KERNELS = {"correlated": CORRELATION_KERNEL, "box": BOX_KERNEL, "gauss": GAUSS_KERNEL,
           "kspace": KSPACE_KERNEL}
# Kinds filtered along the last axis only.
ONE_AXIS = ("kspace",)


def _kernel_axes(kind, ndim):
    return [ndim - 1] if kind in ONE_AXIS else list(range(ndim))


def _circular_kernel(kernel, n):
    """The odd-length, centred `kernel` placed circularly on n samples (centre at 0)."""
    k = np.zeros(n)
    half = len(kernel) // 2
    for j, tap in enumerate(kernel):
        k[(j - half) % n] += tap
    return k

INIA19 = "/usr/share/mricron/templates/inia19-t1-brain.nii.gz"


def _grid(shape):
    """Normalised coordinates in [-1, 1] per axis, broadcastable."""
    return np.meshgrid(*[np.linspace(-1.0, 1.0, n) for n in shape], indexing="ij")


def _smooth_step(d, width):
    """0 outside, 1 inside a boundary at d = 0, with an edge of `width` (in units of d)."""
    return np.clip(0.5 - d / width, 0.0, 1.0) if width > 0 else (d < 0).astype(float)


def phantom3d(shape=(64, 96, 96)):
    """A piecewise-smooth volume in [0, 1]: a smooth background ramp, an ellipsoidal shell
    with a smoothly varying interior, overlapping inner ellipsoids with sharp edges, small
    spheres of several sizes, thin bars and plates, and a patch of periodic stripes (repeated
    structure that rewards non-local matching). Shape (Z, Y, X)."""
    z, y, x = _grid(shape)
    v = 0.10 + 0.08 * (x + 1) / 2 + 0.05 * np.cos(np.pi * y)          # background ramp
    outer = (x / 0.92) ** 2 + (y / 0.88) ** 2 + (z / 0.90) ** 2
    v = np.where(outer < 1, 0.30 + 0.10 * np.sin(2.0 * x + 1.0) * np.cos(1.5 * z), v)
    v = np.where((outer < 1) & (outer > 0.80), 0.85, v)                # bright shell
    e1 = ((x + 0.30) / 0.35) ** 2 + ((y - 0.10) / 0.45) ** 2 + (z / 0.55) ** 2
    v = np.where(e1 < 1, 0.60 + 0.15 * (y + 0.4), v)                    # smooth inside
    e2 = ((x - 0.30) / 0.30) ** 2 + ((y + 0.20) / 0.25) ** 2 + ((z + 0.1) / 0.40) ** 2
    v = np.where(e2 < 1, 0.15, v)                                       # dark ellipsoid
    e3 = ((x - 0.05) / 0.20) ** 2 + ((y - 0.05) / 0.20) ** 2 + ((z - 0.2) / 0.25) ** 2
    v = np.where(e3 < 1, 0.95, v)                                       # overlaps e1 and e2
    for cx, cy, cz, r, val in [(0.45, 0.45, 0.3, 0.10, 0.75), (0.55, 0.30, -0.4, 0.06, 0.9),
                               (-0.55, -0.45, 0.0, 0.08, 0.05), (-0.2, -0.6, 0.45, 0.05, 0.8),
                               (0.2, 0.55, -0.5, 0.04, 0.7), (-0.6, 0.35, -0.3, 0.035, 0.95)]:
        s = (x - cx) ** 2 + (y - cy) ** 2 + (z - cz) ** 2
        v = np.where(s < r * r, val, v)
    v = np.where((np.abs(y + 0.75) < 0.03) & (np.abs(x) < 0.6) & (np.abs(z) < 0.5), 0.9, v)
    v = np.where((np.abs(x + 0.75) < 0.025) & (np.abs(y) < 0.5), 0.7, v)   # thin bar
    v = np.where((np.abs(z - 0.65) < 0.04) & (np.abs(x - 0.2) < 0.3)
                 & (np.abs(y - 0.1) < 0.3), 0.5, v)                     # thin plate
    stripes = (np.abs(x - 0.55) < 0.25) & (np.abs(y + 0.55) < 0.2) & (np.abs(z) < 0.6)
    v = np.where(stripes, 0.45 + 0.3 * (np.sin(x * 40.0) > 0), v)
    return np.clip(v, 0.0, 1.0).astype(np.float32)


def phantom2d(shape=(256, 256)):
    """A piecewise-smooth image in [0, 1] with the same ingredients as phantom3d plus
    text-like rectangles and a smooth radial chirp (fine texture)."""
    y, x = _grid(shape)
    v = 0.15 + 0.15 * (x + 1) / 2 + 0.05 * np.cos(2.0 * y)
    e0 = (x / 0.9) ** 2 + (y / 0.85) ** 2
    v = np.where(e0 < 1, 0.35 + 0.1 * np.sin(3.0 * x) * np.cos(2.0 * y), v)
    v = np.where((e0 < 1) & (e0 > 0.82), 0.85, v)
    e1 = ((x + 0.35) / 0.3) ** 2 + ((y - 0.1) / 0.45) ** 2
    v = np.where(e1 < 1, 0.6 + 0.2 * (y + 0.4), v)
    e2 = ((x - 0.3) / 0.25) ** 2 + ((y + 0.3) / 0.2) ** 2
    v = np.where(e2 < 1, 0.1, v)
    for cx, cy, r, val in [(0.4, 0.4, 0.08, 0.9), (0.55, 0.25, 0.05, 0.75), (0.25, 0.5, 0.03, 1.0),
                           (-0.1, -0.5, 0.04, 0.0), (0.05, 0.3, 0.02, 0.95)]:
        v = np.where((x - cx) ** 2 + (y - cy) ** 2 < r * r, val, v)
    for i in range(6):                                                  # text-like strokes
        cx = -0.6 + 0.1 * i
        v = np.where((np.abs(x - cx) < 0.012 + 0.004 * i) & (np.abs(y + 0.72) < 0.08), 0.95, v)
    chirp = (np.abs(x - 0.55) < 0.25) & (np.abs(y + 0.5) < 0.22)
    r = np.hypot(x - 0.55, y + 0.5)
    v = np.where(chirp, 0.5 + 0.25 * np.cos(60.0 * r * r + 10.0 * r), v)
    return np.clip(v, 0.0, 1.0).astype(np.float32)


def sample_image(name, size=256):
    """A grey-level sample image of scikit-image (Debian's python3-skimage ships them), as
    float32 in [0, 1]: the central size x size crop (the whole image when size is None)."""
    from skimage import data
    img = getattr(data, name)().astype(np.float32) / 255.0
    if size is not None:
        h, w = img.shape
        top, left = (h - size) // 2, (w - size) // 2
        img = img[top:top + size, left:left + size]
    return np.ascontiguousarray(img)


def read_nifti(path):
    """The data of a NIfTI-1 file (.nii or .nii.gz, little- or big-endian, scaled by its
    slope and intercept) as float32 in NumPy axis order (Z, Y, X)."""
    import gzip
    import struct
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        raw = f.read()
    endian = "<" if struct.unpack("<i", raw[:4])[0] == 348 else ">"
    dims = struct.unpack(endian + "8h", raw[40:56])
    code = struct.unpack(endian + "h", raw[70:72])[0]
    offset = int(struct.unpack(endian + "f", raw[108:112])[0])
    slope, inter = struct.unpack(endian + "2f", raw[112:120])
    types = {2: "u1", 4: "i2", 8: "i4", 16: "f4", 64: "f8", 256: "i1", 512: "u2", 768: "u4"}
    if code not in types:
        raise ValueError(f"{path}: NIfTI data type {code} is not supported")
    shape = dims[1:1 + dims[0]]
    count = int(np.prod(shape))
    data = np.frombuffer(raw, dtype=endian + types[code], count=count, offset=offset)
    data = data.astype(np.float32).reshape(shape[::-1])  # file order is x fastest
    if slope not in (0.0, 1.0) or inter != 0.0:
        data = data * (slope or 1.0) + inter
    return data


def inia19(crop=None):
    """The inia19 primate T1 template (Debian's mricron-data), scaled to [0, 1]; with `crop`
    (Z, Y, X) its central block of that size."""
    v = read_nifti(INIA19)
    return _central_block((v - v.min()) / (v.max() - v.min()), crop)


def inia19_filled(crop=None):
    """The inia19 T1 template scaled so that its tissue spans the range, as a T1 stored on a
    range of 1 does: divided by the 99.5th percentile of its nonzero samples and clipped to 1
    (the raw template's brain spans only 0.3 of its range, so sigma 0.1 there is a third of
    the tissue's contrast). With `crop` (Z, Y, X) its central block of that size."""
    v = read_nifti(INIA19).astype(np.float64)
    v = (v - v.min()) / (v.max() - v.min())
    return _central_block(np.clip(v / np.percentile(v[v > 0], 99.5), 0.0, 1.0), crop)


def _central_block(v, crop):
    """v as contiguous float32, or with `crop` (Z, Y, X) its central block of that size."""
    if crop is not None:
        start = [(n - c) // 2 for n, c in zip(v.shape, crop)]
        v = v[tuple(slice(s0, s0 + c) for s0, c in zip(start, crop))]
    return np.ascontiguousarray(v, dtype=np.float32)


def add_noise(clean, sigma, kind, seed):
    """clean + noise of standard deviation sigma; kind "white", "correlated" (kernel
    CORRELATION_KERNEL along every axis), "box" (BOX_KERNEL), "gauss" (GAUSS_KERNEL) or
    "kspace" (KSPACE_KERNEL along the last axis)."""
    rng = np.random.Generator(np.random.PCG64(seed))
    w = rng.standard_normal(clean.shape)
    if kind in KERNELS:
        kernel = KERNELS[kind]
        f = np.fft.fftn(w)
        for axis in _kernel_axes(kind, clean.ndim):
            n = clean.shape[axis]
            k = _circular_kernel(kernel, n)
            kshape = [1] * clean.ndim
            kshape[axis] = n
            f = f * np.fft.fft(k).reshape(kshape)
        w = np.real(np.fft.ifftn(f))
    elif kind != "white":
        raise ValueError(kind)
    return (clean + sigma * w).astype(np.float32)


def noise_psd(sigma, kind, grid):
    """PSD of add_noise's noise on `grid` (NumPy axis order), kelvo's convention."""
    n = int(np.prod(grid))
    if kind == "white":
        return np.full(grid, sigma * sigma * n, dtype=np.float32)
    psd = np.full(grid, sigma * sigma * n)
    for axis in _kernel_axes(kind, len(grid)):
        f = grid[axis]
        if f == 1:
            continue
        # The kernel's spectrum sampled at f points: its autocorrelation folded modulo f.
        k = _circular_kernel(KERNELS[kind], f)
        shape = [1] * len(grid)
        shape[axis] = f
        psd = psd * (np.abs(np.fft.fft(k)) ** 2).reshape(shape)
    return psd.astype(np.float32)


def kelvo_noise(sigma, kind, profile, ndim):
    """The noise argument of kelvo.denoise: sigma for white noise, else the exact PSD on the
    profile's fftSize grid (given (x, y, z); reversed into axis order)."""
    if kind == "white":
        return float(sigma)
    fx, fy, fz = profile.fft_size
    grid = (fz, fy, fx) if ndim == 3 else (fy, fx)
    return noise_psd(sigma, kind, grid)


def psnr(clean, estimate):
    mse = float(np.mean((clean.astype(np.float64) - estimate.astype(np.float64)) ** 2))
    return 10.0 * np.log10(1.0 / mse)


def ssim(clean, estimate):
    from skimage.metrics import structural_similarity
    return float(structural_similarity(clean.astype(np.float64), estimate.astype(np.float64),
                                       data_range=1.0))


def import_kelvo():
    """Imports the kelvo module: installed, or from the build tree given by $KELVO_BUILD
    (default: build/release next to bench/, where scripts/test.sh builds it, then build/)."""
    try:
        import kelvo  # noqa: F401
        return kelvo
    except ImportError:
        pass
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    builds = ([os.environ["KELVO_BUILD"]] if "KELVO_BUILD" in os.environ else
              [os.path.join(root, "build", "release"), os.path.join(root, "build")])
    for build in builds:
        package = os.path.join(build, "python", "package")
        if os.path.isdir(os.path.join(package, "kelvo")):
            sys.path.insert(0, package)
            import kelvo
            return kelvo
    sys.exit("the kelvo Python module was not found in " + " or ".join(builds) +
             ": build it (./scripts/test.sh, or cmake --build build/release --target kelvo_python), "
             "or set KELVO_BUILD to a build tree or PYTHONPATH to its python/package folder")
