function [y_est, matchesHT, matchesWie] = KELVO(z, sigma_psd, profile)
%KELVO Removes additive Gaussian noise, white or correlated, from a 2-D image or 3-D volume.
%
%   y_est = KELVO(z, sigma) denoises z corrupted by white Gaussian noise of standard
%   deviation sigma (in the units of z).
%
%   y_est = KELVO(z, PSD) denoises z corrupted by correlated Gaussian noise with the power
%   spectral density PSD: a 2-D or 3-D array with PSD = E|fftn(noise)|.^2 (the unscaled DFT),
%   on the grid on which the noise is modelled or on a smaller one (it is resampled to
%   profile.fftSize). White noise of standard deviation s has the constant PSD
%   s^2 * numel(PSD).
%
%   y_est = KELVO(z, sigma_psd, profile) uses the settings of profile (see KELVOProfile);
%   without it, KELVOProfile() is used.
%
%   [y_est, matchesHT, matchesWie] = KELVO(...) also returns the groups that block matching
%   formed in the hard-thresholding and the Wiener stage, as match records (structs with the
%   fields stackCount, groupSizes, blockPositions, shiftedPositions). A record can be handed
%   back to kelvomex (match mode 1) to filter another volume of the same size with the same
%   groups.
%
%   KELVO runs hard thresholding on z, then Wiener filtering of z with the first estimate as
%   the pilot, and returns the second estimate. z must be real (complex data is rejected:
%   denoise real(z) and imag(z) separately); the result is single unless z is double.
%
%   Example:
%       pro = KELVOProfile(); pro.splitComp = [false, false, true];
%       y_est = KELVO(z, PSD, pro);
%
%   See also KELVOProfile.

if nargin < 2
    error('kelvo:nargin', 'KELVO: got %d arguments, expected KELVO(z, sigma_psd[, profile])', ...
          nargin);
end
if ~isnumeric(z) || isempty(z) || ndims(z) > 3
    error('kelvo:badInput', ['KELVO: z must be a non-empty numeric 2-D or 3-D array; got ' ...
          '%s of size %s'], class(z), mat2str(size(z)));
end
if ~isreal(z)
    error('kelvo:complexUnsupported', ['KELVO: z is complex; KELVO filters real data only ' ...
          '(denoise real(z) and imag(z) separately)']);
end
volumetric = size(z, 3) > 1;

if nargin < 3 || isempty(profile)
    profile = KELVOProfile();
end
pro = resolveProfile(profile, volumetric);

% Noise: a flat PSD on the fftSize grid for a scalar sigma, else the given PSD. The noise
% variance of one sample scales the relative match thresholds.
fftSize = double(pro.fftSize(:)');
if ~isnumeric(sigma_psd) || ~isreal(sigma_psd) || isempty(sigma_psd) || ndims(sigma_psd) > 3
    error('kelvo:badNoise', ['KELVO: sigma_psd must be a real scalar (noise standard ' ...
          'deviation) or a real 2-D or 3-D PSD array; got %s of size %s'], ...
          class(sigma_psd), mat2str(size(sigma_psd)));
end
if isscalar(sigma_psd)
    sigma = double(sigma_psd);
    if ~isfinite(sigma) || sigma <= 0
        error('kelvo:badNoise', 'KELVO: sigma must be positive and finite; got %g', sigma);
    end
    noiseVariance = sigma^2;
    psd = single(noiseVariance * prod(fftSize)) * ones(fftSize, 'single');
else
    psd = single(sigma_psd);
    if any(~isfinite(psd(:))) || any(psd(:) < 0)
        error('kelvo:badNoise', 'KELVO: the PSD must be finite and non-negative');
    end
    noiseVariance = mean(double(psd(:))) / numel(psd);
    if ~(noiseVariance > 0)
        error('kelvo:badNoise', 'KELVO: the PSD is zero everywhere');
    end
end

zs = single(z);
wantHT = nargout >= 2;
wantWie = nargout >= 3;

argsHT = stageArguments(zs, psd, pro, pro.hardThreshold, noiseVariance, false, ...
                        single([]), wantHT);
if wantHT
    [y1, matchesHT] = kelvomex(argsHT{:});
else
    y1 = kelvomex(argsHT{:});
end
argsWie = stageArguments(zs, psd, pro, pro.wiener, noiseVariance, true, y1, wantWie);
if wantWie
    [y_est, matchesWie] = kelvomex(argsWie{:});
else
    y_est = kelvomex(argsWie{:});
end
if isa(z, 'double')
    y_est = double(y_est);
end
end

function args = stageArguments(z, psd, pro, st, noiseVariance, wiener, pilot, record)
% The 27 positional arguments of one kelvomex stage call.
blockSize = double(st.blockSize(:)');
matchThreshold = st.matchThreshold * 2 * prod(blockSize) * noiseVariance;
if record
    mode = int32(0);
else
    mode = int32(-1);
end
builtIn = {[], [], []};
args = {z, {}, {}, int32(st.stepSize), int32(st.blockSize), int32(st.maxGroupSize), ...
        single(st.threshold), single(matchThreshold), int32(st.searchRadius), ...
        builtIn, builtIn, single([]), psd, int32(pro.fftSize), ...
        single(pro.matchNoiseWeight), int32(pro.varianceLimit), logical(pro.splitComp), ...
        {}, mode, struct(), logical(wiener), pilot, logical(pro.sharpen), ...
        logical(pro.sharpenVariance), single(pro.sharpenAlpha), ...
        single(pro.sharpenAlphaFirstSlice), int32(pro.numThreads)};
end

function pro = resolveProfile(profile, volumetric)
% Completes a user profile: unknown fields are errors, missing ones take the defaults, and an
% 'auto' profile on a 2-D image swaps every unchanged volume default for the image default.
if ~isstruct(profile) || ~isscalar(profile)
    error('kelvo:badProfile', 'KELVO: profile must be a struct from KELVOProfile; got %s', ...
          class(profile));
end
kind = 'auto';
if isfield(profile, 'kind')
    kind = profile.kind;
end
if ~ischar(kind) || ~any(strcmp(kind, {'auto', 'volume', 'image'}))
    error('kelvo:badProfile', 'KELVO: profile.kind must be ''auto'', ''volume'' or ''image''');
end
volDefaults = KELVOProfile('volume');
if strcmp(kind, 'image') || (strcmp(kind, 'auto') && ~volumetric)
    base = KELVOProfile('image');
else
    base = volDefaults;
end
pro = mergeFields(base, profile, volDefaults, strcmp(kind, 'auto') && ~volumetric, '');
checkProfile(pro);
end

function out = mergeFields(base, user, volDefaults, swapUnchanged, prefix)
out = base;
names = fieldnames(user);
for k = 1:numel(names)
    f = names{k};
    if ~isfield(base, f)
        error('kelvo:badProfile', 'KELVO: unknown profile field ''%s%s''', prefix, f);
    end
    if isstruct(base.(f))
        if ~isstruct(user.(f)) || ~isscalar(user.(f))
            error('kelvo:badProfile', 'KELVO: profile field ''%s%s'' must be a struct', ...
                  prefix, f);
        end
        out.(f) = mergeFields(base.(f), user.(f), volDefaults.(f), swapUnchanged, ...
                              [prefix f '.']);
    elseif strcmp(f, 'kind')
        out.(f) = user.(f);
    elseif ~(swapUnchanged && isequal(user.(f), volDefaults.(f)))
        out.(f) = user.(f);
    end
end
end

function checkProfile(pro)
% Shapes and classes only; the plug-in checks the values.
checkStage(pro.hardThreshold, 'hardThreshold.');
checkStage(pro.wiener, 'wiener.');
checkNumber(pro.fftSize, 'fftSize', 3, true);
checkNumber(pro.varianceLimit, 'varianceLimit', 1, true);
checkNumber(pro.splitComp, 'splitComp', 3, true);
checkNumber(pro.matchNoiseWeight, 'matchNoiseWeight', 1, false);
checkNumber(pro.sharpen, 'sharpen', 1, true);
checkNumber(pro.sharpenVariance, 'sharpenVariance', 1, true);
checkNumber(pro.sharpenAlpha, 'sharpenAlpha', 1, false);
checkNumber(pro.sharpenAlphaFirstSlice, 'sharpenAlphaFirstSlice', 1, false);
checkNumber(pro.numThreads, 'numThreads', 1, true);
end

function checkStage(st, prefix)
checkNumber(st.blockSize, [prefix 'blockSize'], 3, true);
checkNumber(st.stepSize, [prefix 'stepSize'], 3, true);
checkNumber(st.searchRadius, [prefix 'searchRadius'], 3, true);
checkNumber(st.maxGroupSize, [prefix 'maxGroupSize'], 1, true);
checkNumber(st.threshold, [prefix 'threshold'], 1, false);
checkNumber(st.matchThreshold, [prefix 'matchThreshold'], 1, false);
end

function checkNumber(v, name, n, integral)
if ~(isnumeric(v) || islogical(v)) || ~isreal(v) || numel(v) ~= n || any(~isfinite(double(v(:))))
    error('kelvo:badProfile', 'KELVO: profile.%s must be %d finite real number(s); got %s', ...
          name, n, mat2str(v));
end
if integral && any(double(v(:)) ~= round(double(v(:))))
    error('kelvo:badProfile', 'KELVO: profile.%s must hold integers; got %s', name, mat2str(v));
end
end
