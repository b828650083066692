function test_stages()
%TEST_STAGES Both stages through the plug-in on 2-D and 3-D phantoms: denoising, the match
%   record round trip and replay, the empty record of mode -1, two-element thresholds and
%   explicit transforms against the built-in ones.
seed = 1234;
fprintf('test_stages: seed %d\n', seed);
randn('state', seed);
rand('state', seed);
sigma = 0.1;

for volumetric = [true, false]
    if volumetric
        x = phantom3(40, 36, 24);
        label = '3-D';
    else
        x = phantom3(96, 80, 1);
        label = '2-D';
    end
    z = single(x + sigma * randn(size(x)));
    mseNoisy = mean((double(z(:)) - x(:)).^2);

    % Hard thresholding, recording its groups.
    % One thread: aggregation order, hence rounding, is then fixed, so results compare exactly.
    ht = kelvo_test_args(z, sigma);
    ht{19} = int32(0);
    ht{27} = int32(1);
    [y1, rec1] = kelvomex(ht{:});
    assert(isa(y1, 'single') && isequal(size(y1), size(z)), 'FAILED %s HT output shape', label);
    assert(all(isfinite(y1(:))), 'FAILED %s HT output not finite', label);
    mse1 = mean((double(y1(:)) - x(:)).^2);
    fprintf('  %s HT: noisy MSE %.3g, estimate MSE %.3g\n', label, mseNoisy, mse1);
    assert(mse1 < mseNoisy / 3, 'FAILED %s HT does not denoise', label);
    checkRecord(rec1, z, ht, label);

    % The recorded groups replayed give the same estimate bit for bit.
    rp = ht;
    rp{19} = int32(1);
    rp{20} = rec1;
    [y1r, recEmpty] = kelvomex(rp{:});
    assert(isequal(y1r, y1), 'FAILED %s HT replay differs from the recording call', label);
    assertEmptyRecord(recEmpty, [label ' replay']);

    % Mode -1: same estimate, a record whose four fields are empty.
    nr = ht;
    nr{19} = int32(-1);
    [y1n, recNone] = kelvomex(nr{:});
    assert(isequal(y1n, y1), 'FAILED %s HT without record differs', label);
    assertEmptyRecord(recNone, [label ' mode -1']);

    % Mode 0 with a single output: the estimate only, same values.
    y1o = kelvomex(ht{:});
    assert(isequal(y1o, y1), 'FAILED %s HT with one output differs', label);

    % A second threshold is carried but changes nothing.
    t2 = nr;
    t2{7} = single([t2{7}, 5]);
    assert(isequal(kelvomex(t2{:}), y1), 'FAILED %s two-element threshold changes the result', label);

    % Wiener stage on the first estimate, recorded and replayed.
    wi = kelvo_test_args(z, sigma, true, y1);
    wi{19} = int32(0);
    wi{27} = int32(1);
    [y2, rec2] = kelvomex(wi{:});
    mse2 = mean((double(y2(:)) - x(:)).^2);
    fprintf('  %s Wiener: estimate MSE %.3g\n', label, mse2);
    assert(mse2 < mse1, 'FAILED %s Wiener does not improve on HT', label);
    checkRecord(rec2, z, wi, label);
    wr = wi;
    wr{19} = int32(1);
    wr{20} = rec2;
    assert(isequal(kelvomex(wr{:}), y2), 'FAILED %s Wiener replay differs', label);

    % The optional last argument: false is its absence; true lets each Wiener group of a
    % volume choose its threshold, which changes the estimate (images keep the threshold).
    wa = wi;
    wa{28} = false;
    assert(isequal(kelvomex(wa{:}), y2), 'FAILED %s adaptiveWiener false differs', label);
    wa{28} = true;
    y2a = kelvomex(wa{:});
    assert(isequal(y2a, y2) == ~volumetric, 'FAILED %s adaptiveWiener true', label);
    assert(mean((double(y2a(:)) - x(:)).^2) < mse1, 'FAILED %s adaptive Wiener', label);
    % The second optional argument: 2 is its absence; 8 fills every group to 8 blocks or more.
    wa{28} = false;
    wa{29} = int32(2);
    assert(isequal(kelvomex(wa{:}), y2), 'FAILED %s minGroupSize 2 differs', label);
    wa{29} = int32(8);
    [y2m, rec2m] = kelvomex(wa{:});
    gs = double(rec2m.groupSizes);  % 0 where a location formed no group
    assert(any(gs) && all(gs(gs > 0) >= 8), 'FAILED %s minGroupSize 8 left a smaller group', ...
           label);
    assert(mean((double(y2m(:)) - x(:)).^2) < mse1, 'FAILED %s minGroupSize 8', label);

    % Shifted reference grids record and replay as well (the replay check walks the same
    % shifted grid as the stage).
    sh = ht;
    sh{18} = {int32([0 1 2]), int32([1 0]), int32([2 0 1])};
    [ys, recs] = kelvomex(sh{:});
    sh{19} = int32(1);
    sh{20} = recs;
    assert(isequal(kelvomex(sh{:}), ys), 'FAILED %s replay with shifted grid', label);

    % Replaying the HT groups on a new noisy volume runs and denoises it as well.
    z2 = single(x + sigma * randn(size(x)));
    rp2 = rp;
    rp2{1} = z2;
    y3 = kelvomex(rp2{:});
    mse3 = mean((double(y3(:)) - x(:)).^2);
    assert(mse3 < mseNoisy / 3, 'FAILED %s replay on another realisation', label);

    % Every core: the same estimate up to the rounding of a different summation order.
    mt = nr;
    mt{27} = int32(0);
    ym = kelvomex(mt{:});
    bound = 64 * eps('single') * max(abs(double(y1(:))));
    assert(max(abs(double(ym(:)) - double(y1(:)))) <= bound, 'FAILED %s threads differ', label);

    % The host function: HT then Wiener, with records, equal to the two calls above (on one
    % scale: images take a binned copy too by default).
    pro = KELVOProfile();
    pro.numThreads = 1;
    pro.multiscale = false;
    pro.wiener.minGroupSize = 2;  % the calls above leave out the smallest group
    pro.refinement.enabled = false;  % and the refinement pass after them
    [ye, mHT, mWie] = KELVO(double(z), sigma, pro);
    assert(isa(ye, 'double'), 'FAILED %s KELVO keeps double', label);
    assert(isequal(single(ye), y2a), 'FAILED %s KELVO differs from the two stage calls', label);
    pro.adaptiveWiener = false;
    assert(isequal(single(KELVO(double(z), sigma, pro)), y2), ...
           'FAILED %s KELVO without adaptiveWiener differs', label);
    assert(isequal(mHT.groupSizes, rec1.groupSizes) && isequal(mWie.groupSizes, rec2.groupSizes), ...
           'FAILED %s KELVO records differ', label);
end

% The advice of the out-of-memory message works verbatim, on a volume and on an image, and
% with a PSD array: white noise as a flat PSD equals the scalar sigma.
z = single(phantom3(24, 24, 16) + sigma * randn(24, 24, 16));
PSD = sigma^2 * 8^3 * ones(8, 8, 8);
pro = KELVOProfile(); pro.splitComp = [false, false, true]; y_est = KELVO(z, PSD, pro);
pro.numThreads = 1;
assert(isequal(KELVO(z, PSD, pro), KELVO(z, sigma, pro)), 'FAILED flat PSD differs from sigma');
pro = KELVOProfile(); pro.splitComp = [false, false, true];
y_img = KELVO(single(phantom3(64, 64, 1)), 0.05, pro);
assert(isequal(size(y_img), [64 64]), 'FAILED advice code on an image');

% A correlated PSD on a smaller grid runs; the relative match threshold uses its mean.
psd = single(abs(fftn(ones(3, 3) / 3, [16 16])).^2 * sigma^2 * 256);
y_corr = KELVO(single(phantom3(64, 64, 1)), psd);
assert(all(isfinite(y_corr(:))), 'FAILED correlated PSD');

% Explicit matrices equal to the built-in ones give the built-in result (within rounding).
zt = single(phantom3(32, 32, 16) + sigma * randn(32, 32, 16));
a = kelvo_test_args(zt, sigma);
a{27} = int32(1);
yb = kelvomex(a{:});
D = single(kelvo_dct4());
a{10} = {D', D', D'};            % row-major: the engine reads the transpose of the host matrix
a{11} = {D, D, D};               % the inverse of D' in row-major is D
a{12} = kaiser4();
a{2} = haarCells(16, false);
a{3} = haarCells(16, true);
ye = kelvomex(a{:});
err = max(abs(double(ye(:)) - double(yb(:))));
bound = 64 * 16 * eps('single') * max(abs(double(yb(:))));
fprintf('  explicit transforms: max difference %.3g (bound %.3g)\n', err, bound);
assert(err <= bound, 'FAILED explicit transforms differ from the built-in ones');

% Complex input is refused with its own identifier, also through KELVO.
try
    KELVO(complex(zt, zt), sigma);
    error('kelvo_test:noError', 'FAILED complex input accepted');
catch e
    assert(strcmp(e.identifier, 'kelvo:complexUnsupported'), 'FAILED complex: %s', e.identifier);
end
fprintf('test_stages: passed\n');
end

function checkRecord(rec, z, args, label)
% Layout of a recorded match record: sizes from the volume, step and group size; every
% stored block inside the volume.
sz = [size(z), ones(1, 3 - ndims(z))];
step = double(args{4});
m = double(args{6});
n = prod(floor(sz ./ step) + 1);
assert(isequal(fieldnames(rec)', {'stackCount', 'groupSizes', 'blockPositions', ...
       'shiftedPositions'}), 'FAILED %s record fields', label);
assert(isa(rec.stackCount, 'int32') && rec.stackCount == n, 'FAILED %s stackCount', label);
assert(isequal(size(rec.groupSizes), [n 1]) && isequal(size(rec.blockPositions), [n * m 3]) ...
       && isequal(size(rec.shiftedPositions), [n * m 3]), 'FAILED %s record sizes', label);
gs = double(rec.groupSizes);
assert(all(gs >= 0 & gs <= m) && any(gs > 1), 'FAILED %s group sizes', label);
pos = reshape(double(rec.blockPositions), 3, []);
last = sz - double(args{5});
assert(all(all(pos >= 0 & pos <= repmat(last(:), 1, size(pos, 2)))), ...
       'FAILED %s positions outside the volume', label);
end

function assertEmptyRecord(rec, label)
names = fieldnames(rec)';
assert(isequal(names, {'stackCount', 'groupSizes', 'blockPositions', 'shiftedPositions'}), ...
       'FAILED %s record fields', label);
for k = 1:4
    assert(isempty(rec.(names{k})), 'FAILED %s field %s not empty', label, names{k});
end
end

function x = phantom3(n1, n2, n3)
% Piecewise-constant shapes with a smooth ramp, values in [0, 1].
[i, j, k] = ndgrid((1:n1) / n1, (1:n2) / n2, (1:n3) / max(n3, 1));
x = 0.2 + 0.3 * i;
x(((i - 0.5).^2 + (j - 0.5).^2 + (k - 0.5).^2 * (n3 > 1)) < 0.1) = 0.8;
x(abs(i - 0.25) < 0.1 & abs(j - 0.7) < 0.15) = 0.1;
x(abs(i - 0.75) < 0.08 & abs(j - 0.3) < 0.2 & abs(k - 0.5) < 0.3) = 1.0;
end


function w = kaiser4()
% Separable Kaiser window (beta = 2) of 4 x 4 x 4 samples, the engine's built-in weights.
beta = 2;
n = 0:3;
k = besseli(0, beta * sqrt(1 - ((2 * n / 3) - 1).^2)) / besseli(0, beta);
w = single(reshape(kron(k, kron(k, k)), 4, 4, 4));
end

function c = haarCells(m, inverse)
% Orthonormal Haar group matrices for n = 1, 2, 4, ..., m (dyadic order, rows = coefficients),
% as the host passes them: the transpose of the row-major table.
c = cell(1, m);
for k = 1:m
    c{k} = single(eye(k));
end
n = 2;
while n <= m
    H = haar(n);
    if inverse
        c{n} = single(H);     % row-major inverse H' seen from the host: (H')' = H
    else
        c{n} = single(H');
    end
    n = 2 * n;
end
end

function H = haar(n)
if n == 1
    H = 1;
    return;
end
h = haar(n / 2);
H = [kron(h, [1 1]); kron(eye(n / 2), [1 -1])] / sqrt(2);
end
