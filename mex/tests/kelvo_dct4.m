function D = kelvo_dct4()
%KELVO_DCT4 Orthonormal 4-point DCT-II computed by the tests, row j giving coefficient j.
D = zeros(4);
for j = 0:3
    for m = 0:3
        D(j + 1, m + 1) = cos(pi * (2 * m + 1) * j / 8);
    end
end
D(1, :) = D(1, :) / sqrt(2);
D = D * sqrt(2 / 4);
end
