#!/usr/bin/env bash
# Tests of the `kelvo` tool: every supported format and data type end to end, and bad input:
# each failure must give exactly one line on standard error, the documented exit code, and
# leave no output or temporary file behind.
# usage: cli_test.sh KELVO MAKE_INPUTS WORKDIR
set -u
kelvo=$1
make_inputs=$2
work=$3
rm -rf "$work"
mkdir -p "$work/in" "$work/out"
"$make_inputs" "$work/in" || { echo "FAIL: could not create the inputs"; exit 1; }
in=$work/in
out=$work/out
failures=0
have_numpy=0
# Debian's interpreter has numpy (a python3 earlier on PATH may not).
PYTHON=${PYTHON:-/usr/bin/python3}
"$PYTHON" -c "import numpy" 2>/dev/null && have_numpy=1

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

no_temp_left() {
  if ls -A "$out" | grep -q '^\.kelvo-tmp-'; then fail "temporary file left in $out"; fi
}

# expect_ok NAME OUTFILE ARGS...: exit 0 and OUTFILE exists.
expect_ok() {
  local name=$1 file=$2
  shift 2
  rm -f "$file"
  if ! "$kelvo" "$@" >"$work/stdout" 2>"$work/stderr"; then
    fail "$name: exit $? ($(head -c 300 "$work/stderr"))"
  elif [ ! -s "$file" ]; then
    fail "$name: no output $file"
  else
    echo "ok: $name"
  fi
  no_temp_left
}

# expect_fail NAME CODE TEXT OUTFILE ARGS...: exit CODE, one stderr line containing TEXT, and
# OUTFILE unchanged (absent, or still holding "previous").
expect_fail() {
  local name=$1 code=$2 text=$3 file=$4
  shift 4
  echo previous >"$file"
  "$kelvo" "$@" >"$work/stdout" 2>"$work/stderr"
  local rc=$?
  local lines
  lines=$(wc -l <"$work/stderr")
  if [ "$rc" -ne "$code" ]; then
    fail "$name: exit $rc, expected $code ($(head -c 300 "$work/stderr"))"
  elif [ "$lines" -ne 1 ]; then
    fail "$name: $lines lines on stderr, expected 1: $(head -c 300 "$work/stderr")"
  elif ! grep -qF -- "$text" "$work/stderr"; then
    fail "$name: stderr lacks '$text': $(cat "$work/stderr")"
  elif [ "$(cat "$file")" != previous ]; then
    fail "$name: the existing output was changed"
  else
    echo "ok: $name"
  fi
  rm -f "$file"
  no_temp_left
}

# check_npy FILE SHAPE DTYPE: the written array's shape and dtype (needs NumPy).
check_npy() {
  [ "$have_numpy" = 1 ] || return 0
  "$PYTHON" - "$@" <<'PY' || fail "check of $1"
import sys, numpy as np
a = np.load(sys.argv[1])
assert str(a.shape) == sys.argv[2], (a.shape, sys.argv[2])
assert str(a.dtype) == sys.argv[3], a.dtype
assert np.all(np.isfinite(a))
PY
}

# ---- formats and data types -----------------------------------------------------------
expect_ok "npy volume" "$out/vol.npy" denoise "$in/vol.npy" "$out/vol.npy" --sigma 0.1 --quiet
check_npy "$out/vol.npy" "(24, 36, 40)" float32
expect_ok "npy image, estimated sigma" "$out/img.npy" denoise "$in/img.npy" "$out/img.npy" --sigma auto
grep -q "estimated sigma" "$work/stderr" || fail "estimated sigma is not reported"
check_npy "$out/img.npy" "(48, 64)" float32
expect_ok "npy 4-D series, hard thresholding only" "$out/series.npy" \
  denoise "$in/series.npy" "$out/series.npy" --sigma 0.1 --stage ht --threads 1
check_npy "$out/series.npy" "(3, 16, 24, 24)" float32
expect_ok "npy volume with PSD file" "$out/psd.npy" denoise "$in/vol.npy" "$out/psd.npy" --psd "$in/psd3d.npy"
expect_ok "npy image with PSD file and options" "$out/img2.npy" denoise "$in/img.npy" "$out/img2.npy" \
  --psd "$in/psd2d.npy" --threshold 2.5 --wiener-threshold 1.1 --search 8 --step 4 --group 8,16 --match 2,0.5
expect_ok "npy volume with 6x6x3 blocks" "$out/vol6.npy" denoise "$in/vol.npy" "$out/vol6.npy" --sigma 0.1 --block 6,6,3 --quiet
expect_ok "npy image with 12x12 blocks" "$out/img12.npy" denoise "$in/img.npy" "$out/img12.npy" --sigma 0.1 --block 12 --quiet
expect_ok "npy volume with estimated PSD" "$out/vol3.npy" denoise "$in/vol.npy" "$out/vol3.npy" --psd auto
expect_ok "NIfTI int16 scaled" "$out/vol.nii" denoise "$in/vol.nii" "$out/vol.nii" --sigma 0.1
expect_ok "NIfTI 4-D gz, float output" "$out/series.nii.gz" \
  denoise "$in/series.nii.gz" "$out/series.nii.gz" --sigma auto --float
expect_ok "TIFF uint16 stack" "$out/stack.tif" denoise "$in/stack.tif" "$out/stack.tif" --sigma 1000
expect_ok "TIFF float image" "$out/img.tif" denoise "$in/img.tif" "$out/img.tif" --sigma 0.1
# The restart that gives glibc's heap huge pages changes no bit of the output (vol.npy above
# ran with it, where the kernel offers huge pages on request).
GLIBC_TUNABLES=glibc.malloc.hugetlb=0 "$kelvo" denoise "$in/vol.npy" "$out/vol-plain.npy" --sigma 0.1 --quiet ||
  fail "run without the huge-page restart"
cmp -s "$out/vol.npy" "$out/vol-plain.npy" || fail "the huge-page restart changed the output"
# Quiet runs print nothing at all.
"$kelvo" denoise "$in/img.npy" "$out/q.npy" --sigma 0.1 --quiet 2>"$work/stderr"
[ -s "$work/stderr" ] && fail "--quiet still printed: $(cat "$work/stderr")"
# Without a terminal, one plain line per stage (2) and the final line.
"$kelvo" denoise "$in/img.npy" "$out/p.npy" --sigma 0.1 2>"$work/stderr"
[ "$(grep -c 'done in' "$work/stderr")" = 2 ] || fail "expected one line per stage: $(cat "$work/stderr")"

# ---- colour images: the channels along the last or the first axis give the same estimate ----
if [ "$have_numpy" = 1 ]; then
  "$PYTHON" - "$in" <<'PY' || fail "could not write the colour inputs"
import sys, numpy as np
rng = np.random.default_rng(3)
y, x = np.mgrid[0:48, 0:64]
base = ((x - 30) ** 2 + (y - 20) ** 2 < 300).astype(np.float32)
rgb = np.stack([0.8 * base + 0.1, 0.5 * base + 0.3 * (x > 40), 0.2 * base + 0.4], axis=-1)
rgb = (rgb + 0.1 * rng.standard_normal(rgb.shape)).astype(np.float32)
np.save(sys.argv[1] + "/rgb.npy", rgb)
np.save(sys.argv[1] + "/rgbfirst.npy", np.ascontiguousarray(np.moveaxis(rgb, -1, 0)))
PY
  expect_ok "colour image, channels last, estimated sigma" "$out/rgb.npy" \
    denoise "$in/rgb.npy" "$out/rgb.npy" --sigma auto --channels last
  grep -q "estimated sigma per channel 0\.[01][0-9]* 0\.[01][0-9]* 0\.[01]" "$work/stderr" ||
    fail "per-channel sigma not reported: $(cat "$work/stderr")"
  expect_ok "colour image, channels last" "$out/rgb.npy" denoise "$in/rgb.npy" "$out/rgb.npy" --sigma 0.1 --channels last --quiet
  expect_ok "colour image, channels first" "$out/rgbfirst.npy" \
    denoise "$in/rgbfirst.npy" "$out/rgbfirst.npy" --sigma 0.1 --channels first --quiet
  "$PYTHON" - "$out/rgb.npy" "$out/rgbfirst.npy" <<'PY' || fail "channels first and last differ"
import sys, numpy as np
a, b = np.load(sys.argv[1]), np.load(sys.argv[2])
assert a.shape == (48, 64, 3) and np.array_equal(a, np.moveaxis(b, 0, -1))
PY
fi
expect_ok "TIFF RGB image, its channels decorrelated" "$out/rgb.tif" \
  denoise "$in/rgb.tif" "$out/rgb.tif" --sigma auto
grep -q "estimated sigma per channel" "$work/stderr" || fail "RGB TIFF not denoised as colour: $(cat "$work/stderr")"
expect_fail "RGB TIFF with magnitude noise" 2 "is a colour image" "$out/bad.tif" \
  denoise "$in/rgb.tif" "$out/bad.tif" --sigma 0.1 --noise rician
expect_fail "channels of a 2-D image" 2 "has shape (48, 64)" "$out/bad.npy" \
  denoise "$in/img.npy" "$out/bad.npy" --sigma 0.1 --channels last
expect_fail "channels with magnitude noise" 2 "not additive" "$out/bad.npy" \
  denoise "$in/vol.npy" "$out/bad.npy" --sigma 0.1 --channels last --noise rician

# ---- MRI data: NaN background, masks, magnitude noise, the PSD axis rule ----------------
expect_ok "NIfTI float with NaN/Inf background, estimated sigma" "$out/mri.nii" \
  denoise "$in/mri.nii" "$out/mri.nii" --sigma auto
grep -q "estimated sigma 0\.[01]" "$work/stderr" || fail "sigma with a NaN background: $(cat "$work/stderr")"
expect_ok "magnitude noise with a mask in nibabel's axis order" "$out/mrim.nii" \
  denoise "$in/mri.nii" "$out/mrim.nii" --sigma auto --noise rician --coils 2 --mask "$in/maskxyz.npy"
grep -q "channel noise" "$work/stderr" || fail "magnitude sigma not reported: $(cat "$work/stderr")"
if [ "$have_numpy" = 1 ]; then
  "$PYTHON" - "$in/mri.nii" "$out/mri.nii" "$out/mrim.nii" "$in/mask.nii" <<'PY' || fail "NaN positions or mask"
import sys, numpy as np
def nii(p):  # single-file float32 NIfTI written by nifti_image_write: data at byte 352
    return np.fromfile(p, "<f4", offset=352)
a, b, c, m = (nii(p) for p in sys.argv[1:])
bad = ~np.isfinite(a)
assert np.array_equal(a[bad].view(np.uint32), b[bad].view(np.uint32)), "NaN/Inf not kept"
assert np.isfinite(b[~bad]).all(), "new non-finite samples"
assert np.array_equal(c[m == 0].view(np.uint32), a[m == 0].view(np.uint32)), "outside the mask changed"
assert np.abs(c[(m != 0) & ~bad] - a[(m != 0) & ~bad]).mean() > 0.03, "inside the mask not denoised"
PY
fi
# The same anisotropic PSD from a NIfTI file and from a C-ordered .npy in (x, y, z) order.
expect_ok "PSD as NIfTI" "$out/psdnii.nii" denoise "$in/vol.nii" "$out/psdnii.nii" \
  --psd "$in/psdaniso.nii" --threads 1 --float
expect_ok "PSD as npy (x, y, z)" "$out/psdnpy.nii" denoise "$in/vol.nii" "$out/psdnpy.nii" \
  --psd "$in/psdaniso.npy" --threads 1 --float
cmp -s "$out/psdnii.nii" "$out/psdnpy.nii" || fail "the .npy PSD in (x, y, z) order differs from the NIfTI PSD"
# With a NumPy input the .npy PSD is in the input array's own axes: vol.npy is (z, y, x).
expect_ok "PSD npy for an npy input" "$out/psdown.npy" denoise "$in/vol.npy" "$out/psdown.npy" \
  --psd "$in/psdaniso.npy" --threads 1
o=$out/bad.nii
expect_fail "full-size PSD in the reversed order" 1 "(24, 36, 40)" "$o" denoise "$in/mri.nii" "$o" --psd "$in/psdfullzyx.npy"
grep -qF "(40, 36, 24)" "$work/stderr" || fail "the refusal does not name the volume's shape"
expect_fail "mask of another shape" 1 "mask" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --mask "$in/maskzyx.npy"
expect_fail "mask of another size" 1 "mask" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --mask "$in/psdaniso.nii"
expect_fail "empty mask" 1 "no sample inside the mask" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --mask "$in/maskempty.nii"
expect_fail "no coils" 2 "--coils" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --noise rician --coils 0
expect_fail "coils without magnitude noise" 2 "--coils" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --coils 4
expect_fail "unknown noise model" 2 "--noise" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --noise poisson
expect_fail "multiscale neither on nor off" 2 "--multiscale" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --multiscale yes
expect_fail "negative coarse noise ratio" 2 "--coarse-noise-ratio" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --coarse-noise-ratio -1
expect_ok "coarse scale on every volume" "$out/coarse0.nii" denoise "$in/mri.nii" "$out/coarse0.nii" --sigma 0.1 --threads 1 --float --coarse-noise-ratio 0
expect_ok "coarse scale on none" "$out/coarseinf.nii" denoise "$in/mri.nii" "$out/coarseinf.nii" --sigma 0.1 --threads 1 --float --coarse-noise-ratio inf
! cmp -s "$out/coarse0.nii" "$out/coarseinf.nii" || fail "--coarse-noise-ratio 0 / inf changed nothing"
expect_fail "adaptive-wiener neither on nor off" 2 "--adaptive-wiener" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --adaptive-wiener 1
expect_fail "refine neither on nor off" 2 "--refine" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --refine yes
expect_fail "refinement groups of one block" 1 "refinement group size" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --refine-group 1
expect_ok "refinement off" "$out/norefine.nii" denoise "$in/mri.nii" "$out/norefine.nii" --sigma 0.1 --refine off --threads 1 --float
expect_ok "refinement on" "$out/refine.nii" denoise "$in/mri.nii" "$out/refine.nii" --sigma 0.1 --threads 1 --float
! cmp -s "$out/norefine.nii" "$out/refine.nii" || fail "--refine off changed nothing"
expect_fail "refinement step beyond its block" 2 "refinement block size 2" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --refine-step 2,2,4
expect_ok "refinement step 1" "$out/refine1.nii" denoise "$in/mri.nii" "$out/refine1.nii" --sigma 0.1 --threads 1 --float --refine-step 1
! cmp -s "$out/refine1.nii" "$out/refine.nii" || fail "--refine-step 1 changed nothing"
expect_ok "refinement blocks 3x3x3" "$out/refine333.nii" denoise "$in/mri.nii" "$out/refine333.nii" --sigma 0.1 --threads 1 --float --refine-block 3 --refine-step 3,3,2
! cmp -s "$out/refine333.nii" "$out/refine.nii" || fail "--refine-block 3 changed nothing"
expect_ok "image refinement blocks below the default step" "$out/imgrb5.npy" denoise "$in/img.npy" "$out/imgrb5.npy" --sigma 0.1 --refine-block 5 --quiet
expect_fail "refinement block beyond 16" 2 "1 to 16 samples" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --refine-block 17
expect_fail "refinement block below a step given before it" 2 "refinement block size 2" "$o" denoise "$in/mri.nii" "$o" --sigma 0.1 --refine-step 3 --refine-block 2
expect_fail "magnitude noise with a PSD of the wrong size" 1 "does not fit" "$out/bad.npy" \
  denoise "$in/img.npy" "$out/bad.npy" --noise rician --psd "$in/psd3d.npy"

# ---- bad input -------------------------------------------------------------------------
o=$out/bad.npy
expect_fail "missing file" 1 "cannot open" "$o" denoise "$in/none.npy" "$o" --sigma 0.1
expect_fail "not a NumPy file" 1 "not a NumPy" "$o" denoise "$in/garbage.npy" "$o" --sigma 0.1
expect_fail "not a NIfTI file" 1 "not a readable NIfTI" "$out/bad.nii" denoise "$in/garbage.nii" "$out/bad.nii" --sigma 0.1
expect_fail "not a TIFF file" 1 "not a readable TIFF" "$out/bad.tif" denoise "$in/garbage.tif" "$out/bad.tif" --sigma 0.1
expect_fail "unsupported dtype" 1 "unsupported NumPy dtype" "$o" denoise "$in/complex.npy" "$o" --sigma 0.1
expect_fail "truncated data" 1 "truncated" "$o" denoise "$in/truncated.npy" "$o" --sigma 0.1
expect_fail "1-D data" 1 "wrong dimensions" "$o" denoise "$in/line.npy" "$o" --sigma 0.1
expect_fail "volume one sample thick" 1 "one sample thick along dimension 1 (y)" "$o" denoise "$in/tiny.npy" "$o" --sigma 0.1
expect_fail "negative sigma" 1 "positive" "$o" denoise "$in/vol.npy" "$o" --sigma -1
expect_fail "zero sigma" 1 "positive" "$o" denoise "$in/vol.npy" "$o" --sigma 0
expect_fail "sigma not a number" 2 "not a number" "$o" denoise "$in/vol.npy" "$o" --sigma abc
expect_fail "3-D PSD for an image" 1 "does not fit" "$o" denoise "$in/img.npy" "$o" --psd "$in/psd3d.npy"
expect_fail "negative PSD" 1 "non-negative" "$o" denoise "$in/img.npy" "$o" --psd "$in/psdneg.npy"
expect_fail "missing PSD file" 1 "cannot open" "$o" denoise "$in/img.npy" "$o" --psd "$in/none.npy"
expect_fail "no noise option" 2 "exactly one" "$o" denoise "$in/vol.npy" "$o"
expect_fail "two noise options" 2 "exactly one" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --psd auto
expect_fail "unsupported output type" 2 "unsupported output" "$out/bad.png" denoise "$in/vol.npy" "$out/bad.png" --sigma 0.1
expect_fail "format change" 2 "NumPy file" "$out/bad.nii" denoise "$in/vol.npy" "$out/bad.nii" --sigma 0.1
expect_fail "unsupported input type" 1 "unsupported file type" "$o" denoise "$in/vol.raw" "$o" --sigma 0.1
expect_fail "unknown option" 2 "unknown option" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --fast
expect_fail "bad stage" 2 "--stage" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --stage wiener
expect_fail "group size not a power of two" 1 "power of two" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --group 24
expect_fail "block too large" 1 "block size" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --block 17
expect_fail "bad FFT size" 1 "FFT size" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --fft 6
expect_fail "missing command" 2 "missing command" "$o"
expect_fail "unknown command" 2 "unknown command" "$o" smooth "$in/vol.npy" "$o"
expect_fail "run larger than --max-memory" 1 "needs about" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --max-memory 1M
expect_fail "bad --max-memory" 2 "not a size" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --max-memory 4X
expect_ok "run within --max-memory" "$out/mem.npy" denoise "$in/vol.npy" "$out/mem.npy" --sigma 0.1 --max-memory 1.5G
expect_fail "step larger than the block" 2 "between 1 and the block size 3" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --step 9
expect_fail "step 0" 2 "between 1 and the block size" "$o" denoise "$in/vol.npy" "$o" --sigma 0.1 --step 0
expect_fail "image step larger than the block" 2 "block size 8" "$o" denoise "$in/img.npy" "$o" --sigma 0.1 --step 9

# An output that is an input under any name is refused before any work, and the input is
# left as it was.
cp "$in/vol.npy" "$work/same.npy"
cp "$in/psd3d.npy" "$work/psd.npy"
ln -sf "$work/same.npy" "$work/link.npy"
ln -f "$work/same.npy" "$work/hard.npy"
mkdir -p "$work/sub"
before=$(cksum <"$work/same.npy")
for target in "$work/same.npy" "$work/./same.npy" "$work/sub/../same.npy" "$work/link.npy" "$work/hard.npy"; do
  "$kelvo" denoise "$work/same.npy" "$target" --sigma 0.1 2>"$work/stderr"
  rc=$?
  if [ "$rc" -ne 2 ] || [ "$(wc -l <"$work/stderr")" -ne 1 ] || ! grep -q "is the input" "$work/stderr" ||
     grep -q "done in" "$work/stderr"; then
    fail "OUT $target equal to IN: exit $rc, $(cat "$work/stderr")"
  elif [ "$(cksum <"$work/same.npy")" != "$before" ]; then
    fail "OUT $target equal to IN: the input was changed"
  else
    echo "ok: OUT $target equal to IN refused"
  fi
done
(cd "$work" && "$kelvo" denoise same.npy ./same.npy --sigma 0.1 2>"$work/stderr")
[ $? -eq 2 ] || fail "OUT ./same.npy from the input's folder: $(cat "$work/stderr")"
"$kelvo" denoise "$work/same.npy" "$work/psd.npy" --psd "$work/psd.npy" 2>"$work/stderr"
{ [ $? -eq 2 ] && grep -q "is the PSD file" "$work/stderr"; } || fail "OUT equal to the PSD file: $(cat "$work/stderr")"
[ "$(cksum <"$work/same.npy")" = "$before" ] || fail "the input was changed"

# An output folder that is missing or where no file can be made: one line naming OUT, before
# any denoising (no stage line), nothing written anywhere.
check_unwritable() {
  local name=$1 target=$2
  "$kelvo" denoise "$in/vol.npy" "$target" --sigma 0.1 2>"$work/stderr"
  local rc=$?
  if [ "$rc" -ne 1 ] || [ "$(wc -l <"$work/stderr")" -ne 1 ] || ! grep -qF "$target" "$work/stderr" ||
     grep -q "kelvo-tmp" "$work/stderr"; then
    fail "$name: exit $rc, $(cat "$work/stderr")"
  else
    echo "ok: $name"
  fi
}
check_unwritable "missing output folder" "$out/nodir/x.npy"
if [ "$(id -u)" -eq 0 ]; then
  check_unwritable "folder where no file can be made" "/proc/kelvo-test.npy"  # root may write anywhere else
else
  mkdir -p "$work/ro" && chmod 555 "$work/ro"
  check_unwritable "read-only output folder" "$work/ro/x.npy"
  chmod 755 "$work/ro"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all tool tests passed"
