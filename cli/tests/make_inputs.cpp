// Writes the inputs of the tool's tests into a directory: a noisy phantom volume and image in
// every supported format and data type, a 4-D series, a PSD, and malformed files.
//
// usage: cli_make_inputs DIR
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kelvo/synthetic.h"
#include "test_files.h"
#include "volume_io.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: cli_make_inputs DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::uint64_t seed = 99;
    auto noisy = [&](kelvo::Size3 size, int volumes) {
        std::vector<float> out;
        for (int v = 0; v < volumes; ++v) {
            std::vector<float> clean = kelvo::makePhantom(size);
            const std::vector<float> n = kelvo::gaussianNoise(clean.size(), seed + v);
            for (std::size_t i = 0; i < clean.size(); ++i) clean[i] += 0.1f * n[i];
            out.insert(out.end(), clean.begin(), clean.end());
        }
        return out;
    };
    using kelvo::cli::writeNpyFloat;
    writeNpyFloat(dir + "/vol.npy", {40, 36, 24}, noisy({40, 36, 24}, 1));
    writeNpyFloat(dir + "/img.npy", {64, 48}, noisy({64, 48, 1}, 1));
    writeNpyFloat(dir + "/series.npy", {24, 24, 16, 3}, noisy({24, 24, 16}, 3));
    writeNpyFloat(dir + "/line.npy", {100}, std::vector<float>(100, 0.5f));
    writeNpyFloat(dir + "/tiny.npy", {40, 1, 40}, std::vector<float>(1600, 0.5f));
    writeNpyFloat(dir + "/psd2d.npy", {16, 16}, std::vector<float>(256, 0.01f * 256));
    writeNpyFloat(dir + "/psd3d.npy", {8, 8, 8}, std::vector<float>(512, 0.01f * 512));
    std::vector<float> negative(256, 1.0f);
    negative[7] = -1.0f;
    writeNpyFloat(dir + "/psdneg.npy", {16, 16}, negative);
    std::ofstream(dir + "/garbage.npy") << "this is not a numpy file";
    std::ofstream(dir + "/garbage.nii") << "this is not a nifti file";
    std::ofstream(dir + "/garbage.tif") << "this is not a tiff file";
    // A valid header with an unsupported dtype (complex64).
    writeNpyFloat(dir + "/complex.npy", {8, 8}, std::vector<float>(64, 0.0f));
    {
        std::fstream f(dir + "/complex.npy", std::ios::in | std::ios::out | std::ios::binary);
        std::string head(64, '\0');
        f.read(&head[0], 64);
        head.replace(head.find("<f4"), 3, "<c8");
        f.seekp(0);
        f.write(head.data(), 64);
    }
    // A truncated array: header of 40x36x24 floats, a tenth of the data.
    {
        std::ifstream in(dir + "/vol.npy", std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(dir + "/truncated.npy", std::ios::binary) << all.substr(0, all.size() / 10);
    }
    // NIfTI: a scaled int16 volume (.nii), a 4-D float series (.nii.gz via int16 too).
    kelvo::testfiles::writeNiftiInt16(dir + "/vol.nii", {3, 40, 36, 24}, noisy({40, 36, 24}, 1),
                                      0.001, -0.5);
    kelvo::testfiles::writeNiftiInt16(dir + "/series.nii.gz", {4, 24, 24, 16, 2},
                                      noisy({24, 24, 16}, 2), 0.0005, 0.0);
    // TIFF: a uint16 stack (values scaled to 0..10000) and a float32 image.
    kelvo::testfiles::writeTiff(dir + "/stack.tif", 40, 36, 24, noisy({40, 36, 24}, 1), false,
                                10000.0);
    kelvo::testfiles::writeTiff(dir + "/img.tif", 64, 48, 1, noisy({64, 48, 1}, 1), true);
    // An RGB TIFF (uint16): the phantom's samples as the pixels' three channels.
    kelvo::testfiles::writeTiff(dir + "/rgb.tif", 64, 48, 1, noisy({3, 64, 48}, 1), false, 10000.0,
                                3);

    // MRI cases on a float NIfTI volume of 40 x 36 x 24 (x fastest): a NaN and infinite
    // background (the outer slabs), masks in several files and orders, and an anisotropic PSD
    // as NIfTI and as C-ordered .npy arrays in nibabel's (x, y, z) order and reversed.
    const kelvo::Size3 s{40, 36, 24};
    const std::size_t n = std::size_t(s[0]) * s[1] * s[2];
    std::vector<float> mri = noisy(s, 1), mask(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) {
        const int x = int(i % s[0]), z = int(i / (s[0] * s[1]));
        if (x < 6 || z > 20) mri[i] = x == 0 ? INFINITY : NAN;
        mask[i] = x >= 10 && x < 30 ? 1.0f : 0.0f;
    }
    auto xyzOrder = [](const std::vector<float>& v, kelvo::Size3 d) {  // z fastest
        std::vector<float> t(v.size());
        for (int z = 0; z < d[2]; ++z)
            for (int y = 0; y < d[1]; ++y)
                for (int x = 0; x < d[0]; ++x)
                    t[z + std::size_t(d[2]) * (y + std::size_t(d[1]) * x)] =
                        v[x + std::size_t(d[0]) * (y + std::size_t(d[1]) * z)];
        return t;
    };
    kelvo::testfiles::writeNiftiFloat(dir + "/mri.nii", {3, 40, 36, 24}, mri);
    kelvo::testfiles::writeNiftiFloat(dir + "/mask.nii", {3, 40, 36, 24}, mask);
    kelvo::testfiles::writeNiftiFloat(dir + "/maskempty.nii", {3, 40, 36, 24},
                                      std::vector<float>(n, 0.0f));
    writeNpyFloat(dir + "/maskxyz.npy", {24, 36, 40}, xyzOrder(mask, s));
    writeNpyFloat(dir + "/maskzyx.npy", {40, 36, 24}, mask);  // the reversed order
    // PSD of noise correlated along x only, on a 16 x 8 x 4 grid.
    const kelvo::Size3 g{16, 8, 4};
    std::vector<float> psd(std::size_t(g[0]) * g[1] * g[2]);
    for (std::size_t i = 0; i < psd.size(); ++i)
        psd[i] = float(0.01 * psd.size() * (1.0 + 0.9 * std::cos(6.283185307 * (i % g[0]) / g[0])));
    kelvo::testfiles::writeNiftiFloat(dir + "/psdaniso.nii", {3, 16, 8, 4}, psd);
    writeNpyFloat(dir + "/psdaniso.npy", {4, 8, 16}, xyzOrder(psd, g));
    std::vector<float> full(n);
    for (std::size_t i = 0; i < n; ++i)
        full[i] = float(0.01 * n * (1.0 + 0.9 * std::cos(6.283185307 * (i % s[0]) / s[0])));
    writeNpyFloat(dir + "/psdfullzyx.npy", {40, 36, 24}, full);
    return 0;
}
