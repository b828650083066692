// Writes the inputs of the tool's tests into a directory: a noisy phantom volume and image in
// every supported format and data type, a 4-D series, a PSD, and malformed files.
//
// usage: cli_make_inputs DIR
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
    writeNpyFloat(dir + "/tiny.npy", {3, 40, 40}, std::vector<float>(4800, 0.5f));
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
    return 0;
}
