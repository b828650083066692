function args = kelvo_test_args(z, sigma, wiener, pilot)
%KELVO_TEST_ARGS A valid list of the 27 kelvomex arguments for the volume z (single, 2-D or
%   3-D) under white noise of standard deviation sigma, with the profile defaults and the
%   built-in transforms. wiener selects the stage; pilot is its first estimate.
if nargin < 3
    wiener = false;
end
if nargin < 4
    pilot = single([]);
end
volumetric = size(z, 3) > 1;
pro = kelvomex('defaults', volumetric);
if wiener
    st = pro.wiener;
else
    st = pro.hardThreshold;
end
fft = pro.fftSize;
psd = single(sigma^2 * prod(fft)) * ones(fft, 'single');
mt = st.matchThreshold * 2 * prod(st.blockSize) * sigma^2;
args = {single(z), {}, {}, int32(st.stepSize), int32(st.blockSize), int32(st.maxGroupSize), ...
        single(st.threshold), single(mt), int32(st.searchRadius), {[], [], []}, ...
        {[], [], []}, single([]), psd, int32(fft), single(pro.matchNoiseWeight), int32(pro.varianceLimit), ...
        logical(pro.splitComp), {}, int32(-1), struct(), logical(wiener), single(pilot), ...
        false, false, single(1), single(1), int32(0)};
end
