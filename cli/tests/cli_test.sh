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
# Quiet runs print nothing at all.
"$kelvo" denoise "$in/img.npy" "$out/q.npy" --sigma 0.1 --quiet 2>"$work/stderr"
[ -s "$work/stderr" ] && fail "--quiet still printed: $(cat "$work/stderr")"
# Without a terminal, one plain line per stage (2) and the final line.
"$kelvo" denoise "$in/img.npy" "$out/p.npy" --sigma 0.1 2>"$work/stderr"
[ "$(grep -c 'done in' "$work/stderr")" = 2 ] || fail "expected one line per stage: $(cat "$work/stderr")"

# ---- bad input -------------------------------------------------------------------------
o=$out/bad.npy
expect_fail "missing file" 1 "cannot open" "$o" denoise "$in/none.npy" "$o" --sigma 0.1
expect_fail "not a NumPy file" 1 "not a NumPy" "$o" denoise "$in/garbage.npy" "$o" --sigma 0.1
expect_fail "not a NIfTI file" 1 "not a readable NIfTI" "$out/bad.nii" denoise "$in/garbage.nii" "$out/bad.nii" --sigma 0.1
expect_fail "not a TIFF file" 1 "not a readable TIFF" "$out/bad.tif" denoise "$in/garbage.tif" "$out/bad.tif" --sigma 0.1
expect_fail "unsupported dtype" 1 "unsupported NumPy dtype" "$o" denoise "$in/complex.npy" "$o" --sigma 0.1
expect_fail "truncated data" 1 "truncated" "$o" denoise "$in/truncated.npy" "$o" --sigma 0.1
expect_fail "1-D data" 1 "wrong dimensions" "$o" denoise "$in/line.npy" "$o" --sigma 0.1
expect_fail "volume thinner than a block" 1 "smaller than" "$o" denoise "$in/tiny.npy" "$o" --sigma 0.1
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
# A directory that does not exist: nothing is written anywhere.
"$kelvo" denoise "$in/vol.npy" "$out/nodir/x.npy" --sigma 0.1 --quiet 2>"$work/stderr"
rc=$?
{ [ "$rc" -eq 1 ] && [ "$(wc -l <"$work/stderr")" -eq 1 ]; } || fail "unwritable output: exit $rc, $(cat "$work/stderr")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all tool tests passed"
