function test_arguments()
%TEST_ARGUMENTS Every malformed kelvomex call ends in a host error with a kelvo: identifier,
%   and the host keeps running: a sound call afterwards still succeeds.
seed = 20240601;
fprintf('test_arguments: seed %d\n', seed);
rand('state', seed);
z3 = single(rand(20, 18, 12));
z2 = single(rand(40, 36));
good = kelvo_test_args(z3, 0.1);
goodW = kelvo_test_args(z3, 0.1, true, z3);

% Argument count, output count, call forms.
kelvo_expect_error('26 arguments', 'kelvo:nargin', good{1:26});
kelvo_expect_error('30 arguments', 'kelvo:nargin', good{:}, true, int32(2), int32(2));
kelvo_expect_error('adaptiveWiener not logical', 'kelvo:badClass', good{:}, 1);
kelvo_expect_error('minGroupSize not int32', 'kelvo:badClass', good{:}, false, 8);
kelvo_expect_error('minGroupSize not a power of two', 'kelvo:badValue', good{:}, false, int32(3));
kelvo_expect_error('minGroupSize above maxGroupSize', 'kelvo:badValue', good{:}, false, ...
                   int32(2 * good{6}));
kelvo_expect_error('defaults without flag', 'kelvo:nargin', 'defaults');
kelvo_expect_error('defaults flag class', 'kelvo:badClass', 'defaults', 'yes');
kelvo_expect_error('unknown call form', 'kelvo:badCallForm', 'frobnicate', 1);
try
    [a, b, c] = kelvomex(good{:}); %#ok<ASGLU>
    error('kelvo_test:noError', 'FAILED three outputs: no error');
catch err
    assert(strcmp(err.identifier, 'kelvo:nargout'), 'FAILED three outputs: %s', err.identifier);
end

% One wrong argument at a time: {host index, value, expected identifier, description}.
cases = {
    1, double(z3), 'kelvo:badClass', 'volume double'
    1, complex(z3, z3), 'kelvo:complexUnsupported', 'volume complex'
    1, single(rand(4, 4, 4, 2)), 'kelvo:badSize', 'volume 4-D'
    1, single([]), 'kelvo:badSize', 'volume empty'
    1, setNaN(z3), 'kelvo:nonFinite', 'volume NaN'
    1, int32(z3), 'kelvo:badClass', 'volume int32'
    2, single(1), 'kelvo:badClass', 'groupFwd not a cell'
    2, haarCells(8), 'kelvo:badSize', 'groupFwd fewer than maxGroupSize'
    2, badHaarCells(16), 'kelvo:badSize', 'groupFwd wrong matrix size'
    3, haarCells(16), 'kelvo:badSize', 'groupInv without groupFwd'
    4, [3 3 3], 'kelvo:badClass', 'stepSize double'
    4, int32([3 3]), 'kelvo:badClass', 'stepSize 2 elements'
    4, int32([0 3 3]), 'kelvo:badValue', 'stepSize zero'
    4, int32([-1 3 3]), 'kelvo:badValue', 'stepSize negative'
    5, int32([4 4 40]), 'kelvo:badValue', 'block larger than volume'
    5, int32([0 4 4]), 'kelvo:badValue', 'block zero'
    6, int32(0), 'kelvo:badValue', 'maxGroupSize zero'
    6, int32(128), 'kelvo:badValue', 'maxGroupSize 128'
    6, 16, 'kelvo:badClass', 'maxGroupSize double'
    7, single([1 2 3]), 'kelvo:badSize', 'threshold 3 elements'
    7, single(-1), 'kelvo:badValue', 'threshold negative'
    7, single(NaN), 'kelvo:nonFinite', 'threshold NaN'
    7, 2.7, 'kelvo:badClass', 'threshold double'
    8, single(-1), 'kelvo:badValue', 'matchThreshold negative'
    8, single(Inf), 'kelvo:nonFinite', 'matchThreshold Inf'
    8, single([1 2]), 'kelvo:badSize', 'matchThreshold 2 elements'
    9, int32([5 -1 5]), 'kelvo:badValue', 'searchRadius negative'
    10, {[], []}, 'kelvo:badSize', 'blockFwd 1x2 cell'
    10, {single(eye(4)), [], []}, 'kelvo:badSize', 'blockFwd mixed empty'
    10, [], 'kelvo:badClass', 'blockFwd not a cell'
    13, double(good{13}), 'kelvo:badClass', 'psd double'
    13, -good{13}, 'kelvo:badValue', 'psd negative'
    13, complex(good{13}, good{13}), 'kelvo:complexUnsupported', 'psd complex'
    13, single(ones(2, 2, 2, 2)), 'kelvo:badSize', 'psd 4-D'
    13, single([]), 'kelvo:badSize', 'psd empty'
    14, int32([8 8]), 'kelvo:badClass', 'fftSize 2 elements'
    15, single(-1), 'kelvo:badValue', 'matchNoiseWeight negative'
    16, int32(-1), 'kelvo:badValue', 'varianceLimit negative'
    17, [0 0 1], 'kelvo:badClass', 'splitComp double'
    17, [false true], 'kelvo:badClass', 'splitComp 2 elements'
    18, [], 'kelvo:badClass', 'shifts not a cell'
    18, {int32(0), int32(0), int32(0), int32(0)}, 'kelvo:badSize', 'shifts 4 cells'
    18, {[0 1]}, 'kelvo:badClass', 'shifts double'
    18, {int32([0 1; 1 0])}, 'kelvo:badClass', 'shifts matrix'
    19, int32(2), 'kelvo:badValue', 'match mode 2'
    19, int32(-2), 'kelvo:badValue', 'match mode -2'
    19, 0, 'kelvo:badClass', 'match mode double'
    20, [], 'kelvo:badClass', 'record not a struct'
    20, struct('a', {1, 2}), 'kelvo:badClass', 'record 1x2 struct'
    21, 0, 'kelvo:badClass', 'stage flag double'
    22, single(rand(3, 3)), 'kelvo:badSize', 'pilot wrong size in HT'
    23, 1, 'kelvo:badClass', 'sharpen double'
    24, [true false], 'kelvo:badClass', 'sharpenVariance 2 elements'
    25, single(0), 'kelvo:badValue', 'sharpenAlpha zero'
    26, single(-1), 'kelvo:badValue', 'sharpenAlphaFirstSlice negative'
    27, 4, 'kelvo:badClass', 'numThreads double'
};
for k = 1:size(cases, 1)
    args = good;
    args{cases{k, 1}} = cases{k, 2};
    kelvo_expect_error(cases{k, 4}, cases{k, 3}, args{:});
end

% Settings that are well-formed one by one but unsound together.
args = good; args{5} = int32([4 4 4]); args{1} = z2;
kelvo_expect_error('block deeper than a 2-D image', 'kelvo:', args{:});
args = good; args{4} = int32([5 3 3]);
kelvo_expect_error('step larger than the block', 'kelvo:badSettings', args{:});
args = good; args{14} = int32([5 8 8]);
kelvo_expect_error('fftSize not a power of two', 'kelvo:badSettings', args{:});
args = good; args{14} = int32([128 128 128]);
kelvo_expect_error('fftSize beyond 64', 'kelvo:badSettings', args{:});
args = kelvo_test_args(z2, 0.1); args{14} = int32([4 4 1]);
kelvo_expect_error('fftSize smaller than the 8x8 block', 'kelvo:badSettings', args{:});
% Blocks of other sizes up to 16 run on generated transforms; beyond 16 none exists.
args = good; args{5} = int32([5 5 5]); args{4} = int32([3 3 3]);
y5 = kelvomex(args{:});
if ~isequal(size(y5), size(z3)) || ~all(isfinite(y5(:))) || norm(y5(:) - z3(:)) >= norm(z3(:))
    error('FAILED 5x5x5 block on generated transforms: bad estimate');
end
printf('  ok %-35s %s\n', '5x5x5 block on generated transforms', mat2str(size(y5)));
args = good; args{5} = int32([17 3 3]); args{4} = int32([3 3 3]); args{14} = int32([32 8 8]);
kelvo_expect_error('no transform for a 17-sample block', 'kelvo:missingTransform', args{:});

% Explicit transforms: matrices and window must match the block size, all real.
D = single(kelvo_dct4()');
args = good; args{10} = {D, D, D}; args{11} = {D', D', D'};
args{12} = single(ones(4, 4, 4));
ok = args;
args = ok; args{12} = single(ones(4, 4));
kelvo_expect_error('window wrong size', 'kelvo:badSize', args{:});
args = ok; args{12} = single([]);
kelvo_expect_error('window missing', 'kelvo:badSize', args{:});
args = ok; w = ones(4, 4, 4, 'single'); w(3) = 0; args{12} = w;
kelvo_expect_error('window zero weight', 'kelvo:badValue', args{:});
args = ok; args{10} = {D, single(eye(3)), D};
kelvo_expect_error('block matrix wrong size', 'kelvo:badSize', args{:});
args = ok; args{10} = {complex(D, D), D, D};
kelvo_expect_error('block matrix complex', 'kelvo:complexUnsupported', args{:});
args = ok; args{11} = {D, D, double(D)};
kelvo_expect_error('block matrix double', 'kelvo:badClass', args{:});
args = ok; args{10} = {D, D, setNaN(D)};
kelvo_expect_error('block matrix NaN', 'kelvo:nonFinite', args{:});
args = good; args{2} = haarCells(16); c = haarCells(16); c{2} = complex(c{2}, c{2});
args{3} = c;
kelvo_expect_error('group matrix complex', 'kelvo:complexUnsupported', args{:});

% Wiener stage: the pilot must be the volume's size and finite.
args = goodW; args{22} = single([]);
kelvo_expect_error('Wiener without pilot', 'kelvo:badSize', args{:});
args = goodW; args{22} = single(rand(20, 18));
kelvo_expect_error('Wiener pilot 2-D for 3-D volume', 'kelvo:badSize', args{:});
args = goodW; args{22} = setNaN(z3);
kelvo_expect_error('Wiener pilot NaN', 'kelvo:nonFinite', args{:});
args = goodW; args{22} = double(z3);
kelvo_expect_error('Wiener pilot double', 'kelvo:badClass', args{:});

% Replay: the record must fit this volume, step and group size.
args = good; args{19} = int32(1);
kelvo_expect_error('replay with empty struct', 'kelvo:badRecord', args{:});
n = prod(floor(double(size(z3)) ./ double(good{4})) + 1);
m = double(good{6});
rec = struct('stackCount', int32(n), 'groupSizes', zeros(n, 1, 'int32'), ...
             'blockPositions', zeros(n * m, 3, 'int32'), ...
             'shiftedPositions', zeros(n * m, 3, 'int32'));
args{20} = rec;
kelvo_expect_error('replay with group size 0', 'kelvo:badRecord', args{:});
r = rec; r.groupSizes = int32(ones(n, 1)); r.blockPositions = int32([]);
args{20} = r;
kelvo_expect_error('replay with empty positions', 'kelvo:badRecord', args{:});
r = rec; r.groupSizes = int32(ones(n + 1, 1));
args{20} = r;
kelvo_expect_error('replay with one location too many', 'kelvo:badRecord', args{:});
r = rec; r.groupSizes = ones(n, 1);
args{20} = r;
kelvo_expect_error('replay with double tables', 'kelvo:badRecord', args{:});
r = rec; r.groupSizes = int32(ones(n, 1)) * int32(m + 1);
args{20} = r;
kelvo_expect_error('replay with group size beyond max', 'kelvo:badRecord', args{:});
% A self-consistent record except for one block pushed outside the volume.
r = plausibleRecord(size(z3), double(good{4}), double(good{5}), m);
args{20} = r;
r.blockPositions(1) = int32(1000);  % location 1, block 1, dimension 1
args{20} = r;
kelvo_expect_error('replay with a block outside', 'kelvo:badRecord', args{:});
r = plausibleRecord(size(z3), double(good{4}), double(good{5}), m);
r.shiftedPositions(2) = int32(-5);  % location 1, block 1, dimension 2
args{20} = r;
kelvo_expect_error('replay with inconsistent shift', 'kelvo:badRecord', args{:});
args = good; args{19} = int32(1); args{6} = int32(8); args{20} = plausibleRecord(size(z3), double(good{4}), double(good{5}), m);
kelvo_expect_error('replay with another maxGroupSize', 'kelvo:badRecord', args{:});

% Calls the contract accepts. A 2-D image has one position along dimension 3 whatever the
% step there: steps 3 and 4 give the estimate of step 1 (one thread: a fixed order of sums).
g2 = kelvo_test_args(z2, 0.1); g2{27} = int32(1);
ref = kelvomex(g2{:});
for s3 = [3 4]
    args = g2; args{4}(3) = int32(s3);
    assert(isequal(kelvomex(args{:}), ref), 'FAILED 2-D image with step %d in dimension 3', s3);
end
% varianceLimit 0 and 1: every component gets the local variance; still a sound estimate.
for v = [0 1]
    args = good; args{16} = int32(v);
    y = kelvomex(args{:});
    assert(all(isfinite(y(:))) && isequal(size(y), size(z3)), 'FAILED varianceLimit %d', v);
end
% Shifts that leave samples outside every reference block: with a search radius of 0 no
% matched block covers them either, so they keep the input (columns 1 and 2 here).
args = g2; args{9} = int32([0 0 0]); args{18} = {int32([-2 -2])};
y = kelvomex(args{:});
assert(all(isfinite(y(:))), 'FAILED uncovered samples: non-finite estimate');
assert(isequal(y(1:2, :), z2(1:2, :)), 'FAILED uncovered samples do not keep the input');
assert(any(any(y(3:end, :) ~= z2(3:end, :))), 'FAILED covered samples not filtered');

% The host is still running and a sound call succeeds, with one or two outputs.
y = kelvomex(good{:});
assert(isequal(size(y), size(z3)) && isa(y, 'single'), 'FAILED sound call after errors');
[y, rec] = kelvomex(good{:}); %#ok<ASGLU>
assert(isequal(fieldnames(rec)', {'stackCount', 'groupSizes', 'blockPositions', ...
       'shiftedPositions'}), 'FAILED record fields');
fprintf('test_arguments: passed\n');
end

function x = setNaN(x)
x(end) = NaN;
end

function c = haarCells(m)
% Cell k holds a k x k orthonormal matrix for k = 1, 2, 4, ... (identity elsewhere: unread).
c = cell(1, m);
for k = 1:m
    c{k} = single(eye(k));
end
end

function c = badHaarCells(m)
c = haarCells(m);
c{4} = single(eye(3));
end


function r = plausibleRecord(sz, step, block, m)
% Every location's group is its own reference alone (position = clamped grid point), which
% is what a sound record of groups of one block looks like.
sz = [sz, ones(1, 3 - numel(sz))];
grid = floor(sz ./ step) + 1;
last = max(0, sz - block);
n = prod(grid);
gs = zeros(n, 1, 'int32');
pos = zeros(3 * n * m, 1, 'int32');
for zi = 0:grid(3) - 1
    for yi = 0:grid(2) - 1
        for xi = 0:grid(1) - 1
            p = [xi yi zi] .* step;
            if all(p < last + step)
                loc = (zi * grid(2) + yi) * grid(1) + xi;
                gs(loc + 1) = 1;
                pos(3 * loc * m + (1:3)) = int32(min(p, last));
            end
        end
    end
end
r = struct('stackCount', int32(n), 'groupSizes', gs, ...
           'blockPositions', reshape(pos, n * m, 3), ...
           'shiftedPositions', zeros(n * m, 3, 'int32'));
end
